#include "server/EpollDispatcher.h"
#include "Loopback.h"
#include "net/SocketPoller.h"

#include <QAbstractEventDispatcher>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace pontivo::testing;

namespace {

struct SocketPair {
    int ends[2] = {-1, -1};
    SocketPair() { ::socketpair(AF_UNIX, SOCK_STREAM, 0, ends); }
    ~SocketPair() { ::close(ends[0]), ::close(ends[1]); }
    void MakeReadable() const { [[maybe_unused]] const auto n = ::write(ends[1], "x", 1); }
};

struct Client : pontivo::PollClient {
    std::function<void()> onReadable;
    void OnReadable() override { onReadable(); }
    void OnWritable() override {}
};

// About the headless program's own loop: skipped where Qt's runs (PONTIVO_EVENT_LOOP=qt).
class EventLoopTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!dynamic_cast<pontivo::EpollDispatcher*>(QAbstractEventDispatcher::instance()))
            GTEST_SKIP() << "Qt's event loop is installed";
    }
};

} // namespace

// Waited for, not counted in a given time: a slow machine only takes longer. Each timer is
// started no later than those due after it, so a stall cannot change the order they are due in.
TEST_F(EventLoopTest, TimersFireInOrderOfDueTimeOnlyWhenDueAndAStoppedOneNeverFires)
{
    std::vector<std::string> order;
    int ticks = 0, ticksAtLastShot = -1, stoppedFired = 0;
    QTimer repeating, stopped;
    QTimer::singleShot(0, [&] { order.push_back("0"); });
    QTimer::singleShot(10, [&] { order.push_back("10"); });
    QTimer::singleShot(25, [&] { order.push_back("stop"), stopped.stop(); });
    QObject::connect(&stopped, &QTimer::timeout, [&] { ++stoppedFired; });
    stopped.start(30); // due after the stop, in the same turn or a later one
    // Started before the repeating one, whose sixth tick is then due after it.
    QTimer::singleShot(110, [&] { order.push_back("110"), ticksAtLastShot = ticks; });
    QObject::connect(&repeating, &QTimer::timeout, [&] { ++ticks; });
    repeating.start(20);
    ASSERT_TRUE(WaitUntil([&] { return ticks >= 8 && order.size() >= 4; }, 60000));
    EXPECT_EQ(order, (std::vector<std::string>{"0", "10", "stop", "110"}));
    EXPECT_LE(ticksAtLastShot, 5);
    EXPECT_EQ(stoppedFired, 0);
}

// Both are ready in the same wake; whichever runs first removes the other, and a new one on a
// socket taken under the same number hears nothing of that wake.
TEST_F(EventLoopTest, NotifierRemovedByAnotherInTheSameWakeIsNotCalled)
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
            ::dup2(pairs[self].ends[1], pairs[1 - self].ends[0]); // nothing to read there
            notifiers[1 - self] = std::make_unique<QSocketNotifier>(pairs[1 - self].ends[0], QSocketNotifier::Read);
            QObject::connect(notifiers[1 - self].get(), &QSocketNotifier::activated, [&] { ++calls; });
        });
        pairs[i].MakeReadable();
    }
    RunEventsFor(50);
    EXPECT_EQ(calls, 1);
}

// Woken by the post alone: the loop has no timer due before the fallback that fails the test.
TEST_F(EventLoopTest, EventPostedFromAnotherThreadWakesABlockedLoop)
{
    QEventLoop loop;
    bool woken = false;
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    const auto quit = [&] { woken = true, loop.quit(); };
    std::thread poster;
    const auto blocking = QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, [&] {
        if (!poster.joinable())
            poster = std::thread([&] { QMetaObject::invokeMethod(&loop, quit, Qt::QueuedConnection); });
    });
    loop.exec();
    QObject::disconnect(blocking);
    poster.join();
    EXPECT_TRUE(woken);
}

// Under either loop. Both pollers' sets are ready in the same wake; whichever is told first deletes
// the other (a server stopped while another request of that wake is handled), which is not called.
TEST(SocketPollerTest, PollerDeletedByAnotherInTheSameWakeIsNotCalled)
{
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
        ASSERT_TRUE(pollers[i]->Watch(pairs[i].ends[0], clients[i], true, false));
        pairs[i].MakeReadable();
    }
    RunEventsFor(50);
    EXPECT_EQ(calls, 1);
}

// A regular file cannot join an epoll set: its owner is told, and a second try is refused as well
// rather than taken for a wish already granted.
TEST(SocketPollerTest, WatchSaysWhenTheSystemRefuses)
{
    const SocketPair pair;
    const std::unique_ptr<FILE, int (*)(FILE*)> file(std::tmpfile(), &std::fclose);
    Client client;
    pontivo::SocketPoller poller;
    EXPECT_TRUE(poller.Failure().empty());
    EXPECT_TRUE(poller.Watch(pair.ends[0], client, true, false));
    EXPECT_TRUE(poller.Watch(pair.ends[0], client, true, true));
    for (int attempt = 0; attempt < 2; ++attempt)
        EXPECT_FALSE(poller.Watch(::fileno(file.get()), client, true, false)) << attempt;
}
