#include "Loopback.h"
#include "PtyBoard.h"
#include "http/EventRing.h"
#include "store/LikePattern.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace pontivo;
using namespace pontivo::testing;

namespace {

// A page's event stream, read in this thread while the server's loop runs.
struct StreamReader {
    StreamReader(std::uint16_t port, const std::string& target, const std::string& headers = "", int receiveBuffer = 0,
                 in_addr_t from = INADDR_LOOPBACK)
    {
        const sockaddr_in local{AF_INET, 0, {htonl(from)}, {}};
        ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);
        if (receiveBuffer > 0)
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        const sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        const std::string request = "GET " + target + " HTTP/1.1\r\nHost: x\r\n" + headers + "\r\n";
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    }
    ~StreamReader() { ::close(fd); }
    // Everything that came, or (`limit`) a little of it, as a slow reader takes it.
    void Drain(std::size_t limit = SIZE_MAX)
    {
        char buffer[1 << 16];
        ssize_t n = -1;
        while (limit > 0 && (n = ::recv(fd, buffer, std::min(sizeof buffer, limit), MSG_DONTWAIT)) > 0) {
            received.append(buffer, static_cast<std::size_t>(n));
            limit -= static_cast<std::size_t>(n);
        }
        ended = ended || n == 0;
    }
    bool Await(const std::string& text, int timeoutMs = 3000)
    {
        return WaitUntil([&] { Drain(); return received.find(text) != std::string::npos; }, timeoutMs);
    }
    // What came after `mark`, without the keep-alive comments and ids.
    std::string After(const std::string& mark) const
    {
        std::string events = WithoutIds(received.substr(received.find(mark) + mark.size()));
        for (std::size_t ping; (ping = events.find(": ping\n\n")) != std::string::npos;)
            events.erase(ping, 8);
        return events;
    }
    static std::string WithoutIds(std::string text)
    {
        for (std::size_t id; (id = text.find("id: ")) != std::string::npos && (id == 0 || text[id - 1] == '\n');)
            text.erase(id, text.find('\n', id) + 1 - id);
        return text;
    }
    // The id of the last event that came.
    std::string LastId() const
    {
        const std::size_t at = received.rfind("\nid: ") + 5;
        return received.substr(at, received.find('\n', at) - at);
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    std::string received;
    bool ended = false;
};

HttpTimings StreamTimings()
{
    HttpTimings timings = FastTimings();
    timings.pingMs = 200;
    timings.stalledStreamMs = 1500;
    timings.maxStreams = 3;
    timings.perClient.streams = 2;
    return timings;
}

class EventsTest : public ::testing::Test {
protected:
    EventsTest()
    {
        QFile::link(board.SlavePath(), link);
        core.Link().SetTimings({50, 100, 100});
        Start(core);
        port = core.ListeningPort();
    }
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("board"));
    PtyBoard board;
    ServerCore core{SettingsFor(link), StreamTimings()};
    std::uint16_t port = 0;
};

TEST_F(EventsTest, SnapshotThenEveryChangeAsItHappensUntilTheServerStops)
{
    for (const char* name : {"t1", "x", "t2"})
        core.Store().SetVariable(name, "0");
    const std::string open = "event: link\ndata: open " + link.toStdString() + "\n\n";
    StreamReader t(port, "/events/t*", "Origin: http://o\r\n");
    StreamReader malformed(port, "/events/[");
    ASSERT_TRUE(t.Await(open) && malformed.Await(open));
    EXPECT_EQ(StreamReader::WithoutIds(t.received), "HTTP/1.1 200 OK\r\nConnection: close\r\nServer: Pontivo 2.0\r\n"
                          "Access-Control-Allow-Origin: http://o\r\nX-Content-Type-Options: nosniff\r\nContent-Type: text/event-stream\r\n"
                          "Cache-Control: no-store\r\n\r\nretry: 1000\n\n"
                          "event: set\ndata: t1=0\n\nevent: set\ndata: t2=0\n\n" + open);
    EXPECT_EQ(Get(core, "/events/a/b").received, Framed(""));
    const std::string refusal = "HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\nServer: Pontivo 2.0\r\n"
                                "X-Content-Type-Options: nosniff\r\nContent-Type: text/plain; charset=utf-8\r\nRetry-After: 5\r\n";
    EXPECT_EQ(Get(core, "/events/" + std::string(LikePattern::kMaxBytes + 1, '*')).received,
              refusal + "Content-Length: 47\r\n\r\nan event stream's pattern is at most 128 bytes\n");
    StreamReader refused(port, "/events"); // a third from one client
    EXPECT_TRUE(WaitUntil([&] { refused.Drain(); return refused.ended; }));
    EXPECT_EQ(refused.received.substr(0, refusal.size()), refusal);
    EXPECT_NE(refused.received.find("\r\n\r\nthis address holds as many event streams as it may (--client-streams)\n"),
              std::string::npos);

    Request(core, "/set/t1/0");
    Request(core, "/put/x/1");
    board.Write("{t3=v\r\nw}");
    ASSERT_TRUE(WaitUntil([&] { return core.Store().Exists("t3"); }));
    Request(core, "/setlike/t?/s");
    Request(core, "/putlike/t#/p");
    Request(core, "/unset/t2");
    Request(core, "/unsetlike/t*");
    core.ClearCache();
    RunEventsFor(500); // long past the sweep's limits and the ping interval
    board.Unplug();
    ASSERT_TRUE(t.Await("data: closed ") && malformed.Await("data: closed "));
    EXPECT_EQ(t.After(open), "event: set\ndata: t1=0\n\nevent: set\ndata: t3=v\ndata: w\n\n"
                             "event: set\ndata: t1=s\n\nevent: set\ndata: t2=s\n\nevent: set\ndata: t3=s\n\n"
                             "event: set\ndata: t1=p\n\nevent: set\ndata: t2=p\n\nevent: set\ndata: t3=p\n\n"
                             "event: unset\ndata: t2\n\nevent: unset\ndata: t1\n\nevent: unset\ndata: t3\n\n"
                             "event: reset\ndata: \n\nevent: link\ndata: closed " + t.After("data: closed "));
    EXPECT_TRUE(t.received.find(": ping\n\n") != std::string::npos);
    EXPECT_EQ(malformed.After(open).substr(0, 33), "event: reset\ndata: \n\nevent: link\n");

    StreamReader third(port, "/events/" + std::string(LikePattern::kMaxBytes, '*'), "", 0, INADDR_LOOPBACK + 1);
    ASSERT_TRUE(third.Await("event: link"));
    EXPECT_NE(Get(core, "/events").received.find("503 Service Unavailable"), std::string::npos); // one more than the limit
    core.ChangeState();
    EXPECT_TRUE(WaitUntil([&] {
        for (StreamReader* reader : {&t, &malformed, &third})
            reader->Drain();
        return t.ended && malformed.ended && third.ended;
    }));
}

// 100,000 writes while one reader takes a little now and then: it costs memory in proportion to
// the names, it then gets each name's latest value, and a reader that keeps up gets every event.
// Once it takes nothing at all, it is let go.
TEST_F(EventsTest, ReaderThatFallsBehindGetsMergedEventsAndIsLetGoWhenItStops)
{
    StreamReader slow(port, "/events", "", 4096);
    StreamReader fast(port, "/events");
    ASSERT_TRUE(slow.Await("event: link") && fast.Await("event: link"));
    const std::string padding(200, 'v');
    const auto write = [&](int from, int to, bool trickle) {
        for (int i = from; i < to; ++i) {
            std::string name = "n"; // not "n" + ...: GCC 12 warns falsely about that
            core.Store().SetVariable(name += std::to_string(i % 100), padding + std::to_string(i));
            if (i % 1000 == 999) {
                ASSERT_TRUE(fast.Await("=" + padding + std::to_string(i) + "\n"));
                slow.Drain(trickle ? 1024 : 0);
            }
        }
    };
    write(0, 100000, true);
    EXPECT_LT(core.Streams().HeldBytes(), EventRing::kMaxBytes + (512u << 10)); // the ring for reconnecting readers, and the rest
    std::size_t events = 0;
    for (std::size_t at = 0; (at = fast.received.find("event: set", at + 1)) != std::string::npos;)
        ++events;
    EXPECT_EQ(events, 100000u);
    ASSERT_TRUE(slow.Await("n99=" + padding + "99999\n", 10000));
    for (int n = 0; n < 100; ++n) {
        const std::string latest = "data: n" + std::to_string(n) + "=" + padding + std::to_string(99900 + n) + "\n";
        EXPECT_EQ(slow.received.rfind("data: n" + std::to_string(n) + "="), slow.received.rfind(latest)) << n;
    }
    write(0, 50000, false);
    ASSERT_TRUE(WaitUntil([&] { return core.Streams().Count() == 1; }, 5000));
    fast.Drain();
    EXPECT_FALSE(fast.ended);
}

// A reader that comes back with the id of the last event it got hears exactly what it missed, in order;
// one whose id cannot be resumed starts over from a reset and the state.
TEST_F(EventsTest, ReconnectingReaderResumesFromItsLastIdOrStartsOver)
{
    core.Store().SetVariable("a", "0");
    std::string last;
    {
        StreamReader first(port, "/events/a*");
        ASSERT_TRUE(first.Await("event: link"));
        Request(core, "/set/a/1");
        ASSERT_TRUE(first.Await("data: a=1\n"));
        last = first.LastId();
    }
    Request(core, "/set/a/2");
    Request(core, "/set/b/2");
    Request(core, "/unset/a");
    Request(core, "/set/ab/3");
    StreamReader back(port, "/events/a*", "Last-Event-ID: " + last + "\r\n");
    ASSERT_TRUE(back.Await("data: ab=3\n"));
    EXPECT_EQ(back.After("retry: 1000\n\n"), "event: set\ndata: a=2\n\nevent: unset\ndata: a\n\nevent: set\ndata: ab=3\n\n");
    const std::string run = last.substr(0, last.find('-') + 1);
    const std::uint64_t next = std::stoull(last.substr(run.size())) + 1;
    EXPECT_NE(back.received.find("id: " + run + std::to_string(next) + "\nevent: set\ndata: a=2\n"), std::string::npos);
    EXPECT_EQ(back.LastId(), run + std::to_string(next + 3));
    StreamReader over(port, "/events/a*", "Last-Event-ID: " + run + std::to_string(next + 9) + "\r\n", 0, INADDR_LOOPBACK + 1);
    ASSERT_TRUE(over.Await("event: link")); // an id past the last, of this run: which ids resume is the ring's rule
    EXPECT_EQ(over.After("retry: 1000\n\n").substr(0, 56), "event: reset\ndata: \n\nevent: set\ndata: ab=3\n\nevent: link\n");
}

} // namespace
