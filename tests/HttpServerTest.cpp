#include "CoreHarness.h"

#include <QSignalSpy>
#include <QSocketNotifier>
#include <QTcpServer>

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

namespace pontivo {
namespace {

using namespace pontivo::testing;

class HttpServerTest : public ::testing::Test {
protected:
    explicit HttpServerTest(HttpTimings timings = {}) : core(SettingsFor(), timings)
    {
        core.ChangeState();
    }

    Exchange Send(ClientScript script) { return testing::Send(core, std::move(script)); }
    Exchange Get(const std::string& target) { return testing::Get(core, target); }

    ServerCore core;
};

class FastHttpServerTest : public HttpServerTest {
protected:
    FastHttpServerTest() : HttpServerTest(FastTimings()) {}
};

TEST_F(HttpServerTest, AnswersExactBytesAndClosesTheConnection)
{
    ASSERT_TRUE(core.ServerRunning());
    const Exchange exchange = Get("/test/");
    EXPECT_EQ(exchange.received, kHead + "Content-Length: 2\r\n\r\nOK");
    EXPECT_TRUE(exchange.closedByServer);
}

TEST_F(HttpServerTest, RequestSplitAcrossReadsIsAnsweredOnceWhole)
{
    const Exchange exchange = Send({{{"GET /set/"}, {"temp/21 HTTP/1.1\r\n", 60}, {"Origin: o\r\n\r\n", 60}}});
    EXPECT_EQ(exchange.received, kHead + "Access-Control-Allow-Origin: o\r\nContent-Length: 2\r\n\r\n21");
    ASSERT_TRUE(core.Store().Exists("temp"));
    EXPECT_EQ(core.Store().Item("temp"), "21");
}

TEST_F(HttpServerTest, BareRequestLineIsAnsweredAfterAQuietPeriod)
{
    const Exchange exchange = Send({{{"GET /test HTTP/1.1\r\n"}}});
    EXPECT_EQ(BodyOf(exchange.received), "OK");
    EXPECT_GE(exchange.elapsedMs, 450); // the real 500 ms quiet period
    EXPECT_LT(exchange.elapsedMs, 2500);
}

TEST_F(HttpServerTest, BytesAfterTheAnsweredRequestAreIgnored)
{
    const Exchange exchange = Send({{{"GET /test HTTP/1.1\r\n\r\nGET /set/x/1 HTTP/1.1\r\n\r\n"}}});
    EXPECT_EQ(exchange.received, kHead + "Content-Length: 2\r\n\r\nOK");
    EXPECT_FALSE(core.Store().Exists("x"));
}

TEST_F(HttpServerTest, OversizedRequestIsAnsweredWithoutWaiting)
{
    const std::string header = "X-Filler: " + std::string(70 * 1024, 'f');
    const Exchange exchange = Send({{{"GET /put/a/v HTTP/1.1\r\n" + header}}});
    EXPECT_EQ(BodyOf(exchange.received), "v");
    EXPECT_LT(exchange.elapsedMs, 400); // did not wait for the quiet period
    EXPECT_TRUE(exchange.closedByServer);
}

TEST_F(HttpServerTest, SlotsAreReusedLowestFirst)
{
    QSignalSpy accepted(&core.Http(), &HttpServer::connectionAccepted);
    auto first = StartClient(core.ListeningPort(), {{}, 300, 100, false});
    auto second = StartClient(core.ListeningPort(), {{}, 300, 100, false});
    Await(first);
    Await(second);
    RunEventsFor(100);
    auto third = StartClient(core.ListeningPort(), {{{"GET /test HTTP/1.1\r\n\r\n"}}});
    EXPECT_EQ(BodyOf(Await(third).received), "OK");
    ASSERT_EQ(accepted.count(), 3);
    const QList<int> expected{1, 2, 1};
    for (int i = 0; i < 3; ++i) {
        const QList<QVariant> arguments = accepted.at(i);
        EXPECT_EQ(arguments.at(0).toInt(), expected.at(i)) << i;
    }
    EXPECT_EQ(core.Http().SlotCount(), 2);
}

TEST_F(HttpServerTest, IdleSlotsGiveBackTheMemoryOfLargeRequests)
{
    // Eight at once, so eight slots each take a 60 KiB request and answer.
    const std::string value(60 * 1024, 'v');
    std::vector<std::future<Exchange>> clients;
    for (int i = 0; i < 8; ++i)
        clients.push_back(StartClient(core.ListeningPort(), {{{"GET /put/big/"}, {value + " HTTP/1.1\r\n\r\n", 200}}}));
    for (auto& client : clients)
        EXPECT_EQ(BodyOf(Await(client).received), value);
    RunEventsFor(50);
    ASSERT_GE(core.Http().SlotCount(), 8);
    EXPECT_LT(core.Http().HeldBytes(), 8u * 8 * 1024);
}

// A paused server (a busy machine, a debugger) must not take bytes that arrived during the
// pause for quiet. The pause is a handler of this loop turn that outlasts the quiet period,
// so the quiet timer runs out in the same turn, before the client's socket is looked at again.
TEST_F(FastHttpServerTest, BytesWaitingAfterAPauseAreReadBeforeAnswering)
{
    auto client = StartClient(core.ListeningPort(), {{{"GET /set/paused/"}, {"whole HTTP/1.1\r\n\r\n", 100}}});
    RunEventsFor(50);
    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    QSocketNotifier pause(pipe[0], QSocketNotifier::Read);
    QObject::connect(&pause, &QSocketNotifier::activated, [&] {
        pause.setEnabled(false);
        std::this_thread::sleep_for(std::chrono::milliseconds(300)); // within the 400 ms idle limit
    });
    ASSERT_EQ(::write(pipe[1], "p", 1), 1);
    const Exchange exchange = Await(client);
    ::close(pipe[0]);
    ::close(pipe[1]);
    EXPECT_EQ(BodyOf(exchange.received), "whole");
    EXPECT_TRUE(Stored(core, "paused", "whole"));
}

TEST_F(HttpServerTest, ArrowsLightForRequestAndResponse)
{
    QSignalSpy arrows(&core, &ServerCore::arrowLit);
    Get("/test");
    RunEventsFor(20);
    ASSERT_EQ(arrows.count(), 2);
    EXPECT_EQ(arrows.at(0).at(0).toInt(), 0);
    EXPECT_EQ(arrows.at(1).at(0).toInt(), 1);
}

// A body far larger than the socket buffers cannot go out while the client does not read.
void FillBigValue(ServerCore& core)
{
    core.Store().SetVariable("big", std::string(32 * 1024 * 1024, 'b'));
}

// Loopback receive buffers may grow to the body's size unless held small.
ClientScript ReadBigLate(int pauseMs, int timeoutMs)
{
    ClientScript script{{{"GET /get/big HTTP/1.1\r\n\r\n"}}, pauseMs, timeoutMs};
    script.receiveBufferBytes = 64 * 1024;
    return script;
}

TEST_F(FastHttpServerTest, SweepClosesAConnectionWhoseResponseDoesNotGoOut)
{
    FillBigValue(core);
    const Exchange exchange = Send(ReadBigLate(1000, 3000));
    EXPECT_TRUE(exchange.closedByServer);
    EXPECT_LT(exchange.received.size(), 32u * 1024 * 1024);
}

class SlowReaderTest : public HttpServerTest {
protected:
    static HttpTimings Timings()
    {
        HttpTimings timings = FastTimings();
        timings.staleAfterMs = 1000;
        return timings;
    }
    SlowReaderTest() : HttpServerTest(Timings()) {}
};

TEST_F(SlowReaderTest, StillGetsTheWholeResponse)
{
    const std::string value(48 * 1024 * 1024, 's');
    core.Store().SetVariable("big", value);
    const Exchange exchange = Send({{{"GET /get/big HTTP/1.1\r\n\r\n"}}, 0, 20000, true, 5});
    EXPECT_GT(exchange.elapsedMs, 2000); // well past the stale age while it was still reading
    EXPECT_EQ(BodyOf(exchange.received).size(), value.size());
}

TEST_F(HttpServerTest, SweepUsesThreeSecondsAtTheRealInterval)
{
    FillBigValue(core);
    auto early = StartClient(core.ListeningPort(), ReadBigLate(1500, 1));
    const Exchange stillOpen = Await(early);
    EXPECT_FALSE(stillOpen.closedByServer); // data waits but the stream has not ended
    const Exchange late = Send(ReadBigLate(4500, 3000));
    EXPECT_TRUE(late.closedByServer);
    EXPECT_LT(late.received.size(), 32u * 1024 * 1024);
}

TEST_F(FastHttpServerTest, IdleConnectionIsClosed)
{
    const Exchange exchange = Send({{}, 0, 3000});
    EXPECT_TRUE(exchange.closedByServer);
    EXPECT_TRUE(exchange.received.empty());
    EXPECT_GE(exchange.elapsedMs, 350);
}

TEST_F(FastHttpServerTest, StampOfAnEarlierConnectionNeverClosesTheNextOne)
{
    FillBigValue(core);
    QSignalSpy accepted(&core.Http(), &HttpServer::connectionAccepted);
    // Answered but unread, then dropped by the client: its slot is free again.
    Send({{{"GET /get/big HTTP/1.1\r\n\r\n"}}, 100, 1, false});
    RunEventsFor(100);
    // The next connection takes the same slot and stays quiet past the stale age.
    const Exchange next = Send({{{"GET /test HTTP/1.1\r\n", 350}, {"\r\n"}}});
    EXPECT_EQ(BodyOf(next.received), "OK");
    ASSERT_EQ(accepted.count(), 2);
    EXPECT_EQ(accepted.at(1).at(0).toInt(), 1);
}

TEST(ServerStateTest, TakenPortGivesTheStartWarningAndLeavesTheServerStopped)
{
    QTcpServer blocker;
    ASSERT_TRUE(blocker.listen(QHostAddress::Any, 0));
    ServerSettings settings;
    settings.SCKPort = QString::number(blocker.serverPort());
    ServerCore core(settings);
    QSignalSpy warnings(&core, &ServerCore::startWarning);
    core.ChangeState();
    EXPECT_FALSE(core.ServerRunning());
    ASSERT_EQ(warnings.count(), 1);
    EXPECT_TRUE(warnings.at(0).at(0).toString().startsWith("HTTP Server - ")) << warnings.at(0).at(0).toString().toStdString();
    EXPECT_GT(warnings.at(0).at(0).toString().size(), 14);
}

TEST(ServerStateTest, PortTextsWithoutAUsablePortAreRefused)
{
    for (const char* text : {"0", "abc", "70000", "-1"}) {
        ServerSettings settings;
        settings.SCKPort = text;
        ServerCore core(settings);
        QSignalSpy warnings(&core, &ServerCore::startWarning);
        core.ChangeState();
        EXPECT_FALSE(core.ServerRunning()) << text;
        ASSERT_EQ(warnings.count(), 1) << text;
        EXPECT_TRUE(warnings.at(0).at(0).toString().startsWith("HTTP Server - ")) << text;
        EXPECT_FALSE(core.Http().IsListening()) << text;
    }
}

TEST(ServerStateTest, StopClosesTheListenerAndTheNextStartRereadsThePort)
{
    ServerSettings settings;
    settings.SCKPort = QString::number(FreePort());
    ServerCore core(settings);
    core.ChangeState();
    ASSERT_TRUE(core.ServerRunning());
    const quint16 firstPort = core.ListeningPort();
    core.ChangeState();
    EXPECT_FALSE(core.ServerRunning());
    auto refused = StartClient(firstPort, {{{"GET /test HTTP/1.1\r\n\r\n"}}});
    EXPECT_FALSE(Await(refused).connected);

    settings.SCKPort = QString::number(FreePort());
    core.SetSettings(settings);
    core.ChangeState();
    ASSERT_TRUE(core.ServerRunning());
    EXPECT_EQ(QString::number(core.ListeningPort()), settings.SCKPort);
    auto answered = StartClient(core.ListeningPort(), {{{"GET /com HTTP/1.1\r\n\r\n"}}});
    EXPECT_EQ(BodyOf(Await(answered).received), "16");
}

TEST(ServerStateTest, StopClosesOpenConnections)
{
    ServerSettings settings;
    settings.SCKPort = QString::number(FreePort());
    ServerCore core(settings);
    core.ChangeState();
    auto quiet = StartClient(core.ListeningPort(), {{}, 0, 3000});
    RunEventsFor(200);
    core.ChangeState();
    const Exchange exchange = Await(quiet);
    EXPECT_TRUE(exchange.closedByServer);
    EXPECT_LT(exchange.elapsedMs, 1500);
}

} // namespace
} // namespace pontivo
