#include "Loopback.h"
#include "SocketPoller.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <thread>

using namespace pontivo::testing;

namespace {

struct SocketPair {
    int ends[2] = {-1, -1};
    SocketPair() { ::socketpair(AF_UNIX, SOCK_STREAM, 0, ends); }
    ~SocketPair() { ::close(ends[0]), ::close(ends[1]); }
    void MakeReadable() const { [[maybe_unused]] const auto n = ::write(ends[1], "x", 1); }
};

} // namespace

// The loop these tests run on is the headless program's own (see QtTestMain.cpp).
TEST(EventLoopTest, TimersFireInTheirTurnAndAStoppedOneNeverFires)
{
    int ticks = 0, shots = 0, stoppedFired = 0;
    QTimer repeating, stopped;
    QObject::connect(&repeating, &QTimer::timeout, [&] { ++ticks; });
    QObject::connect(&stopped, &QTimer::timeout, [&] { ++stoppedFired; });
    repeating.start(20);
    stopped.start(30);
    QTimer::singleShot(0, [&] { ++shots; });
    QTimer::singleShot(25, [&] { stopped.stop(); }); // due before it, in the same turn or earlier
    RunEventsFor(210);
    EXPECT_EQ(shots, 1);
    EXPECT_EQ(stoppedFired, 0);
    EXPECT_GE(ticks, 5); // 10 on time; fewer only when the machine stalls
    EXPECT_LE(ticks, 11);
}

// Both are ready in the same wake; whichever runs first removes the other.
TEST(EventLoopTest, NotifierRemovedByAnotherInTheSameWakeIsNotCalled)
{
    const SocketPair pairs[2];
    std::unique_ptr<QSocketNotifier> notifiers[2];
    int calls = 0;
    for (int i = 0; i < 2; ++i) {
        notifiers[i] = std::make_unique<QSocketNotifier>(pairs[i].ends[0], QSocketNotifier::Read);
        QObject::connect(notifiers[i].get(), &QSocketNotifier::activated, [&, self = i] {
            ++calls;
            notifiers[self]->setEnabled(false);
            notifiers[1 - self].reset();
        });
        pairs[i].MakeReadable();
    }
    RunEventsFor(50);
    EXPECT_EQ(calls, 1);
}

// The same for connections watched in the loop's own set: a server stopped while another
// request of the same wake is handled takes its poller with it.
TEST(EventLoopTest, PollerDeletedByAnotherInTheSameWakeIsNotCalled)
{
    struct Client : pontivo::PollClient {
        std::function<void()> onReadable;
        void OnReadable() override { onReadable(); }
        void OnWritable() override {}
    };
    const SocketPair pairs[2];
    std::unique_ptr<pontivo::SocketPoller> pollers[2];
    Client clients[2];
    int calls = 0;
    for (int i = 0; i < 2; ++i) {
        pollers[i] = std::make_unique<pontivo::SocketPoller>();
        clients[i].onReadable = [&, self = i] {
            ++calls;
            pollers[self]->Forget(pairs[self].ends[0], false);
            pollers[1 - self].reset();
        };
        pollers[i]->Watch(pairs[i].ends[0], clients[i], true, false);
        pairs[i].MakeReadable();
    }
    RunEventsFor(50);
    EXPECT_EQ(calls, 1);
}

TEST(EventLoopTest, EventPostedFromAnotherThreadWakesABlockedLoop)
{
    QEventLoop loop;
    QTimer::singleShot(3000, &loop, &QEventLoop::quit); // the loop sleeps until then unless woken
    std::thread poster([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    QElapsedTimer elapsed;
    elapsed.start();
    loop.exec();
    poster.join();
    EXPECT_LT(elapsed.elapsed(), 2000);
}
