#include "CoreHarness.h"
#include "PtyBoard.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pontivo {
namespace {

using namespace pontivo::testing;

std::string Repeat(const std::string& piece, std::size_t times)
{
    std::string text;
    text.reserve(piece.size() * times);
    for (std::size_t i = 0; i < times; ++i)
        text += piece;
    return text;
}

class BadInputTest : public ::testing::Test {
protected:
    BadInputTest()
    {
        core.Link().SetTimings({50, 100, 100});
        core.ChangeState();
    }

    PtyBoard board;
    ServerCore core{SettingsFor(board.SlavePath()), FastTimings()};
};

struct BadRequest {
    const char* what;
    std::vector<Piece> pieces;
    std::string response;
    std::optional<std::string> valueOfA; // afterwards; nullopt: absent
};

// A request is read up to its blank line or 64 KiB, whichever comes first; what follows is never read.
TEST_F(BadInputTest, OversizedAndOddRequestsGetExactAnswers)
{
    const std::size_t cap = 64 * 1024;
    const std::string putA = "GET /put/a/";
    const std::string origin(60 * 1024, 'o');
    const BadRequest cases[] = {
        {"1 MB request line", {{putA + std::string(1 << 20, 'v') + " HTTP/1.1\r\n\r\n"}},
         Framed(std::string(cap - putA.size(), 'v')), std::string(cap - putA.size(), 'v')},
        {"1 MB request line in pieces", {{putA + std::string(40000, 'w')}, {std::string(1 << 20, 'w'), 50}},
         Framed(std::string(cap - putA.size(), 'w')), std::string(cap - putA.size(), 'w')},
        {"100,000 segments", {{putA + Repeat("s/", 100000) + " HTTP/1.1\r\n\r\n"}}, Framed(""),
         std::string(cap - putA.size(), 'w')},
        {"Origin line of 100 KB, cut by the cap",
         {{"GET /put/a/1 HTTP/1.1\r\nOrigin: " + std::string(100 * 1024, 'o') + "\r\n\r\n"}}, Framed("1"), "1"},
        {"Origin line of 60 KB", {{"GET /test HTTP/1.1\r\nOrigin: " + origin + "\r\n\r\n"}}, Framed("OK", origin), "1"},
        {"1,000 pipelined requests", {{Repeat("GET /put/a/2 HTTP/1.1\r\n\r\nGET /put/a/3 HTTP/1.1\r\n\r\n", 500)}},
         Framed("2"), "2"},
    };
    for (const BadRequest& bad : cases) {
        const Exchange exchange = Send(core, {bad.pieces});
        EXPECT_TRUE(exchange.received == bad.response)
            << bad.what << ": got " << exchange.received.size() << " bytes: " << exchange.received.substr(0, 200);
        EXPECT_TRUE(exchange.closedByServer) << bad.what;
        const auto a = core.Store().Exists("a") ? std::optional(core.Store().Item("a")) : std::nullopt;
        EXPECT_TRUE(a == bad.valueOfA) << bad.what << ": a holds " << (a ? a->size() : 0) << " bytes";
    }
}

TEST_F(BadInputTest, NulAndHighBytesTravelByteForByte)
{
    const std::string name("n\0\xff\x80", 4);
    const std::string value("v\0\xfe", 3);
    EXPECT_EQ(Send(core, {{{"GET /set/" + name + "/" + value + " HTTP/1.1\r\n\r\n"}}}).received, Framed(value));
    EXPECT_EQ(board.ReadAvailable(name.size() + value.size() + 2), name + "=" + value + "\n");
    EXPECT_EQ(Get(core, "/get/" + name).received, Framed(value));

    const std::string boardName("m\0\x81", 3);
    const std::string boardValue("w\0\xfa\x7f", 4);
    board.Write("{" + boardName + "=" + boardValue + "}");
    ASSERT_TRUE(WaitUntil([&] { return Stored(core, boardName, boardValue); }));
    EXPECT_EQ(Get(core, "/get/" + boardName).received, Framed(boardValue));
    EXPECT_EQ(Get(core, "/get").received, Framed(name + "=" + value + "\r\n" + boardName + "=" + boardValue + "\r\n"));
    EXPECT_EQ(Get(core, "/getlike/[\x80-\xff]*").received, Framed(""));
    EXPECT_EQ(Get(core, "/getlike/" + std::string("?\0[\x80-\xff]*", 8)).received,
              Framed(name + "=" + value + "\r\n" + boardName + "=" + boardValue + "\r\n"));
}

// Names and patterns as long as a request can carry must be matched exactly and without stalling the server.
TEST_F(BadInputTest, LongPatternsAnswerExactlyAndPromptly)
{
    const std::string longName(10000, 'a');
    core.Store().SetVariable("a", "short");
    core.Store().SetVariable(longName, "long");
    core.Store().SetVariable(std::string(60000, 'b'), "longer");
    const struct {
        std::string pattern;
        std::string listing;
    } cases[] = {
        {std::string(10000, '?'), longName + "=long\r\n"},
        {Repeat("*a", 5000), longName + "=long\r\n"},
        {Repeat("*a", 5000) + "b", ""},
        {Repeat("[a]", 3333) + "*", longName + "=long\r\n"},
        {std::string(10000, '['), ""},
        {"*" + std::string(9998, 'b') + "c", ""},
        {std::string(10000, '*'), "a=short\r\n" + longName + "=long\r\n" + std::string(60000, 'b') + "=longer\r\n"},
    };
    for (const auto& pattern : cases) {
        const Exchange exchange = Send(core, {{{"GET /getlike/" + pattern.pattern + " HTTP/1.1\r\n\r\n"}}});
        EXPECT_TRUE(exchange.received == Framed(pattern.listing)) << pattern.pattern.substr(0, 12);
        EXPECT_LT(exchange.elapsedMs, 1000) << pattern.pattern.substr(0, 12);
    }
}

TEST_F(BadInputTest, ThousandsOfSilentConnectionsNeitherBlockOthersNorOutstayTheIdleLimit)
{
    constexpr int kSilent = 2000;
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, std::min<rlim_t>(limit.rlim_max, 3 * kSilent));
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur < 3 * kSilent)
        GTEST_SKIP() << "needs " << 3 * kSilent << " descriptors, the limit is " << limit.rlim_max;

    auto opening = std::async(std::launch::async, [port = core.ListeningPort()] {
        std::vector<int> fds;
        for (int i = 0; i < kSilent; ++i)
            fds.push_back(ConnectLoopback(port));
        return fds;
    });
    std::vector<int> silent = Await(opening);
    QElapsedTimer sinceOpened;
    sinceOpened.start();
    EXPECT_EQ(std::count(silent.begin(), silent.end(), -1), 0);

    const Exchange other = Get(core, "/test");
    EXPECT_EQ(other.received, Framed("OK"));
    EXPECT_LT(other.elapsedMs, 1000);

    // Every silent one ends (end of stream, nothing sent) after the idle limit, none long before.
    int ended = 0;
    EXPECT_TRUE(WaitUntil(
        [&] {
            for (int& fd : silent) {
                char byte = 0;
                if (fd >= 0 && ::recv(fd, &byte, 1, MSG_DONTWAIT) == 0) {
                    ::close(fd);
                    fd = -1;
                    ++ended;
                }
            }
            return ended == kSilent;
        },
        5000))
        << ended << " of " << kSilent << " closed";
    EXPECT_GE(sinceOpened.elapsed(), FastTimings().idleTimeoutMs / 2);
    for (const int fd : silent)
        if (fd >= 0)
            ::close(fd);
    EXPECT_EQ(Get(core, "/test").received, Framed("OK"));
}

// The board's output cut to frames of at most 4 KiB: floods of text are dropped, the link stays up.
TEST_F(BadInputTest, BoardFloodsLeaveTheStoreAloneAndTheLinkHealthy)
{
    QSignalSpy lost(&core, &ServerCore::serialLost);
    core.Store().SetVariable("keep", "1");
    board.Write("{big=" + std::string(1 << 20, 'x'));
    board.Write("{huge=" + std::string(1 << 20, 'x') + "}{after=1}");
    ASSERT_TRUE(WaitUntil([&] { return Stored(core, "after", "1"); }, 10000));
    board.Write(Repeat("noise x=y} ", (10 << 20) / 11)); // 10 MB without "{"
    board.Write("{next=2}");
    ASSERT_TRUE(WaitUntil([&] { return Stored(core, "next", "2"); }, 20000));
    EXPECT_EQ(core.Store().Keys(), (std::vector<std::string>{"keep", "after", "next"}));
    EXPECT_EQ(lost.count(), 0);
    EXPECT_TRUE(core.Link().Port().PortOpen());
}

} // namespace
} // namespace pontivo
