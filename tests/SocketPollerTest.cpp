#include "Loopback.h"
#include "net/SocketPoller.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <memory>

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

} // namespace

// Both pollers' sets are ready in the same wake; whichever is told first deletes
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
