#include "net/ConnectionSlot.h"
#include "net/HttpServer.h"
#include "net/NativeSocket.h"
#include "Loopback.h"
#include "PtyBoard.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <QSocketNotifier>

#include <gtest/gtest.h>

#include <unistd.h>

#include <thread>

namespace fs = std::filesystem;

using namespace pontivo;
using namespace pontivo::testing;

namespace {

class ServerTest : public ::testing::Test {
protected:
    explicit ServerTest(HttpTimings timings = {}, QString files = {}) : core(SettingsFor(), timings, files)
    {
        // Each slot, from its first connection on, counts the connections it lets go of.
        QObject::connect(&core.Http(), &HttpServer::connectionAccepted, [this](int index) {
            for (ConnectionSlot* slot : core.Http().findChildren<ConnectionSlot*>())
                if (slot->Index() == index && index > watchedSlots)
                    QObject::connect(slot, &ConnectionSlot::closed, [this] { ++closings; });
            watchedSlots = std::max(watchedSlots, index);
            ++accepts;
        });
        Start(core);
    }

    ServerCore core;
    int watchedSlots = 0;
    int accepts = 0;
    int closings = 0;
};

struct Exchanged {
    const char* what;
    std::vector<Piece> pieces;
    std::string response;
    std::string valueOfA; // afterwards
};

// A quiet period no answer here could wait for: each one came from a blank line or the cap.
// A listing past the size of a whole answer goes out a slice at a time as a slow reader takes it: no length,
// ended by the close, every variable in it.
TEST_F(ServerTest, ALargeAnswerGoesOutInSlicesToASlowReader)
{
    for (int i = 0; i < 40; ++i)
        core.Store().SetVariable("v" + std::to_string(i), std::string(60 * 1024, '\x01'));
    ClientScript script{{{"GET /api/variables HTTP/1.1\r\n\r\n"}}};
    script.receiveBufferBytes = 64 * 1024;
    script.pauseBetweenReadsMs = 1;
    script.readTimeoutMs = 20000;
    const Exchange exchange = Send(core, script);
    const auto split = exchange.received.find("\r\n\r\n");
    ASSERT_NE(split, std::string::npos);
    EXPECT_TRUE(exchange.closedByServer);
    EXPECT_EQ(exchange.received.substr(0, split).find("Content-Length"), std::string::npos);
    std::size_t names = 0;
    for (auto at = exchange.received.find("\"name\":\"v"); at != std::string::npos; at = exchange.received.find("\"name\":\"v", at + 1))
        ++names;
    EXPECT_EQ(names, 40u);
    EXPECT_TRUE(exchange.received.ends_with("]}"));
}

class PatientServerTest : public ServerTest {
protected:
    PatientServerTest() : ServerTest({.quietMs = 600000}) {}
};

// What is answered is the request up to its blank line, or the first 64 KiB, however the bytes
// arrive; nothing after it is read.
TEST_F(PatientServerTest, EachConnectionGetsOneExactAnswerAndIsClosed)
{
    const std::string putA = "GET /put/a/";
    const std::string cut((64 << 10) - putA.size(), 'v');
    std::string pipelined;
    for (int i = 0; i < 500; ++i)
        pipelined += "GET /put/a/2 HTTP/1.1\r\n\r\nGET /put/a/3 HTTP/1.1\r\n\r\n";
    const Exchanged cases[] = {
        {"whole", {{"GET /put/a/OK/ HTTP/1.1\r\n\r\n"}}, Framed("OK"), "OK"},
        {"split", {{"GET /put/"}, {"a/21 HTTP/1.1\r\n", 60}, {"Origin: o\r\n\r\n", 60}}, Framed("21", "o"), "21"},
        {"1 MB line in pieces", {{putA + std::string(40000, 'v')}, {std::string(1 << 20, 'v'), 50}}, Framed(cut), cut},
        {"pipelined", {{pipelined}}, Framed("2"), "2"},
    };
    for (const Exchanged& c : cases) {
        core.Store().Remove("a");
        const Exchange exchange = Send(core, {c.pieces});
        EXPECT_TRUE(exchange.received == c.response) << c.what << ": " << exchange.received.substr(0, 100);
        EXPECT_TRUE(exchange.closedByServer) << c.what;
        EXPECT_TRUE(Stored(core, "a", c.valueOfA)) << c.what;
    }
    // An idle slot gives back what the largest request took, or the pool would keep it all.
    EXPECT_LT(core.Http().HeldBytes(), 8u * 1024);
}

// Loopback receive buffers may grow to the body's size unless held small.
ClientScript ReadBigLate(int pauseMs, int timeoutMs)
{
    ClientScript script{{{"GET /get/big HTTP/1.1\r\n\r\n"}}, pauseMs, timeoutMs};
    script.receiveBufferBytes = 64 * 1024;
    return script;
}

// The real intervals: the sweep's 3 s, and meanwhile the board's poll every tenth of a second
// without reopening its port across the 5 s watch.
TEST(RealIntervalsTest, SweepClosesAnUnreadAnswerAfterThreeSecondsWhileTheBoardIsPolled)
{
    PtyBoard board;
    ServerCore core(SettingsFor(board.SlavePath()));
    QSignalSpy arrows(&core, &ServerCore::arrowLit);
    QSignalSpy opened(&core, &ServerCore::serialOpened);
    const auto polls = [&] {
        return std::count_if(arrows.begin(), arrows.end(), [](const auto& a) { return a.at(0) == 3; });
    };
    const auto [beforeFirstPoll, afterFirstPoll] = CountsAround(100, [&] { Start(core); }, polls);
    EXPECT_EQ(beforeFirstPoll, 0);
    EXPECT_GE(afterFirstPoll, 1);
    core.Store().SetVariable("big", std::string(32 << 20, 'b'));
    auto early = StartClient(core.ListeningPort(), ReadBigLate(1500, 1));
    EXPECT_FALSE(Await(early).closedByServer);
    const Exchange late = Send(core, ReadBigLate(5500, 3000));
    EXPECT_TRUE(late.closedByServer);
    EXPECT_LT(late.received.size(), 32u << 20);
    EXPECT_GT(polls(), afterFirstPoll); // and on
    EXPECT_EQ(opened.count(), 1);
}

class FastServerTest : public ServerTest {
protected:
    FastServerTest() : ServerTest(FastTimings()) {}
};

// Never before the quiet period or the idle limit: a busy machine only makes them later.
TEST_F(FastServerTest, RequestWithoutItsBlankLineWaitsForQuietAndSilenceForTheIdleLimit)
{
    const Exchange unfinished = Send(core, {{{"GET /put/a/q HTTP/1.1\r\n"}}});
    EXPECT_TRUE(unfinished.received == Framed("q") && unfinished.closedByServer && Stored(core, "a", "q"));
    EXPECT_GE(unfinished.elapsedMs, 190);
    const Exchange silent = Send(core, {{}, 0, 10000});
    EXPECT_TRUE(silent.closedByServer);
    EXPECT_TRUE(silent.received.empty());
    EXPECT_GE(silent.elapsedMs, 950);
}

TEST_F(FastServerTest, StampOfAnEarlierConnectionNeverClosesTheNextOne)
{
    core.Store().SetVariable("big", std::string(32 << 20, 'b')); // far more than the socket buffers take
    QSignalSpy accepted(&core.Http(), &HttpServer::connectionAccepted);
    Send(core, {{{"GET /get/big HTTP/1.1\r\n\r\n"}}, 100, 1}); // answered, hardly read, dropped
    ASSERT_TRUE(WaitUntil([&] { return closings == 1; }));
    const Exchange next = Send(core, {{{"GET /test HTTP/1.1\r\n", 350}, {"\r\n"}}});
    EXPECT_EQ(BodyOf(next.received), "OK");
    ASSERT_EQ(accepted.count(), 2);
    EXPECT_EQ(accepted.at(1).at(0).toInt(), 1); // the same slot
}

// Freed slots are taken again lowest number first, whatever order they were freed in.
TEST_F(FastServerTest, NewConnectionTakesTheLowestFreeSlot)
{
    QSignalSpy accepted(&core.Http(), &HttpServer::connectionAccepted);
    std::vector<std::future<Exchange>> silent;
    for (const int hangUpMs : {400, 3000, 200}) { // slots 1, 2 and 3; the client on 3 leaves first, then 1
        silent.push_back(StartClient(core.ListeningPort(), {{}, 0, hangUpMs}));
        ASSERT_TRUE(WaitUntil([&] { return accepted.count() == static_cast<int>(silent.size()); }));
    }
    ASSERT_TRUE(WaitUntil([&] { return closings == 2; }));
    EXPECT_EQ(BodyOf(Get(core, "/test").received), "OK");
    EXPECT_EQ(accepted.last().at(0).toInt(), 1);
}

TEST(SlowReaderTest, GetsTheWholeAnswerWellPastTheStaleAge)
{
    ServerCore core(SettingsFor(), FastTimings(1000));
    Start(core);
    core.Store().SetVariable("big", std::string(48 << 20, 's'));
    const Exchange exchange = Send(core, {{{"GET /get/big HTTP/1.1\r\n\r\n"}}, 0, 20000, 5});
    EXPECT_GT(exchange.elapsedMs, 2000);
    EXPECT_EQ(BodyOf(exchange.received).size(), 48u << 20);
}

// A paused server (a busy machine, a debugger) must not take bytes that arrived during the
// pause for quiet: a handler of this loop turn outlasts the quiet period.
TEST_F(FastServerTest, BytesWaitingAfterAPauseAreReadBeforeAnswering)
{
    auto client = StartClient(core.ListeningPort(), {{{"GET /set/paused/"}, {"whole HTTP/1.1\r\n\r\n", 100}}});
    RunEventsFor(50);
    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    QSocketNotifier pause(pipe[0], QSocketNotifier::Read);
    QObject::connect(&pause, &QSocketNotifier::activated, [&] {
        pause.setEnabled(false);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    });
    ASSERT_EQ(::write(pipe[1], "p", 1), 1);
    EXPECT_EQ(BodyOf(Await(client).received), "whole");
    ::close(pipe[0]);
    ::close(pipe[1]);
    EXPECT_TRUE(Stored(core, "paused", "whole"));
}

class FilesServerTest : public ServerTest {
protected:
    FilesServerTest() : ServerTest({}, QString::fromStdString(Folder().string())) { fs::create_directories(files); }
    ~FilesServerTest() override { fs::remove_all(files); }
    static fs::path Folder() { return fs::temp_directory_path() / ("pontivo-served-" + std::to_string(::getpid())); }

    const fs::path files = Folder();
};

// Large files go out by sendfile. A reset met there once raised SIGPIPE and ended the process.
TEST_F(FilesServerTest, LargeFilesComeBackWholeAndClientResetsFreeTheirConnection)
{
    std::string bytes(16 << 20, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 7919 % 91); // below '[': no placeholder by chance
    WriteFile(files / "big.bin", bytes);
    WriteFile(files / "page.html", "port=[server_port]");
    EXPECT_TRUE(Get(core, "/files/big.bin", "Origin: o\r\n").received == Framed(bytes, "o", false));
    EXPECT_EQ(BodyOf(Get(core, "/files/page.html").received), "port=" + std::to_string(core.ListeningPort()));
    QSignalSpy accepted(&core.Http(), &HttpServer::connectionAccepted);
    for (const long read : {0L, 1L, 100000L, 1L << 20, 3L << 20, 8L << 20}) {
        ClientScript script{{{"GET /files/big.bin HTTP/1.1\r\n\r\n"}}, read == 0 ? 200 : 0};
        script.resetAfterBytes = read;
        Send(core, script);
        ASSERT_TRUE(WaitUntil([&] { return closings == accepts; })) << read;
        EXPECT_EQ(Get(core, "/test").received, Framed("OK")) << read;
        EXPECT_EQ(accepted.last().at(0).toInt(), 1) << read; // the reset connection was let go
    }
}

TEST(ServerStateTest, StopClosesListenerAndConnectionsAndTheNextStartRereadsThePort)
{
    ServerCore core(SettingsFor());
    QSignalSpy accepted(&core.Http(), &HttpServer::connectionAccepted);
    Start(core);
    const quint16 firstPort = core.ListeningPort();
    auto quiet = StartClient(firstPort, {{}, 0, 10000}); // far below the idle limit
    ASSERT_TRUE(WaitUntil([&] { return accepted.count() == 1; }));
    core.ChangeState();
    EXPECT_FALSE(core.ServerRunning());
    EXPECT_TRUE(Await(quiet).closedByServer);
    auto refused = StartClient(firstPort, {{{"GET /test HTTP/1.1\r\n\r\n"}}});
    EXPECT_FALSE(Await(refused).connected);

    core.SetSettings(ServerSettings{.httpPort = QString::number(firstPort)}); // ours a moment ago
    core.ListenOnAnyPort(false);
    core.ChangeState();
    EXPECT_EQ(core.ListeningPort(), firstPort);
    EXPECT_EQ(BodyOf(Get(core, "/com").received), "16");
}

// Bound to 127.0.0.1, the server is not on ::1; unlisted hosts run nothing, unlisted origins read unshared.
TEST(NetworkGuardTest, BoundAddressAllowedHostsAndOrigins)
{
    ServerCore core(SettingsFor());
    NetworkGuard guard{QStringLiteral("127.0.0.1"), {}};
    ASSERT_EQ(ReadHostList("localhost", guard.access.allowedHosts) + ReadOriginList("http://ok", guard.access.allowedOrigins), "");
    core.SetNetworkGuard(guard);
    Start(core);
    EXPECT_TRUE(NativeListen("192.0.2.1", 0, 1).listener.IsValid()); // not up here: a boot before the network
    QTcpSocket v6;
    v6.connectToHost(QHostAddress::LocalHostIPv6, core.ListeningPort());
    EXPECT_FALSE(v6.waitForConnected(2000));
    const std::string refused = "HTTP/1.1 403 Forbidden\r\nConnection: close\r\nServer: Pontivo 2.0\r\nX-Content-Type-Options: nosniff\r\nContent-Length: 0\r\n\r\n";
    for (const auto& [request, answer] : std::vector<std::pair<std::string, std::string>>{
             {"/set/a/1 HTTP/1.1\r\nHost: localhost:80\r\nOrigin: http://ok", Framed("1", "http://ok")},
             {"/get/a HTTP/1.1\r\nHost: localhost\r\nOrigin: http://evil", Framed("1")},
             {"/set/a/2 HTTP/1.1\r\nHost: localhost\r\nOrigin: http://evil", refused}, {"/set/a/3 HTTP/1.1\r\nHost: evil", refused}}) {
        const Exchange exchange = Send(core, {{{"GET " + request + "\r\n\r\n"}}});
        EXPECT_TRUE(exchange.received == answer && exchange.closedByServer && Stored(core, "a", "1")) << request;
    }
}

// One client's connections past its limit are closed before a byte is read; once one leaves, the next is taken.
TEST(ClientLimitTest, ConnectionsPastTheClientsLimitAreClosedAtOnce)
{
    ServerCore core(SettingsFor(), HttpTimings{.perClient = {.connections = 2}});
    QSignalSpy accepted(&core.Http(), &HttpServer::connectionAccepted);
    Start(core);
    QTcpSocket held[2], over;
    for (QTcpSocket* socket : {&held[0], &held[1], &over})
        socket->connectToHost(QHostAddress::LocalHost, core.ListeningPort());
    EXPECT_TRUE(WaitUntil([&] { return accepted.count() == 2 && over.state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_TRUE(over.readAll().isEmpty() && held[1].state() == QAbstractSocket::ConnectedState);
    held[0].abort();
    EXPECT_TRUE(WaitUntil([&] { return Get(core, "/test").received == Framed("OK"); }) && accepted.count() == 3);
}

} // namespace
