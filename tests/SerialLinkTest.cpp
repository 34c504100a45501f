#include "CoreHarness.h"
#include "PtyBoard.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace pontivo {
namespace {

using namespace pontivo::testing;

class SerialLinkTest : public ::testing::Test {
protected:
    explicit SerialLinkTest(SerialTimings timings = {50, 100, 100})
    {
        core.Link().SetTimings(timings);
        core.ChangeState();
    }

    PtyBoard board;
    ServerCore core{SettingsFor(board.SlavePath())};
};

TEST_F(SerialLinkTest, FramesReachTheStoreAsSoonAsTheyArrive)
{
    ASSERT_TRUE(core.Link().Port().PortOpen());
    QSignalSpy arrows(&core, &ServerCore::arrowLit);
    board.Write("boot noise x=1}{temp=21}\r\n{a=");
    ASSERT_TRUE(WaitUntil([&] { return Stored(core, "temp", "21"); }));
    EXPECT_FALSE(core.Store().Exists("x"));
    board.Write("1}");
    ASSERT_TRUE(WaitUntil([&] { return Stored(core, "a", "1"); }));
    EXPECT_GE(arrows.count(), 2);
    EXPECT_EQ(arrows.at(0).at(0).toInt(), 3);
    EXPECT_EQ(Request(core, "/com"), "0"); // a device path has no port number
}

TEST_F(SerialLinkTest, CommandsWriteLinesInStoreOrder)
{
    QSignalSpy arrows(&core, &ServerCore::arrowLit);
    EXPECT_EQ(Request(core, "/set/b/1"), "1");
    Request(core, "/put/a/2");
    Request(core, "/setlike/*/0");
    Request(core, "/push/a");
    Request(core, "/pushlike/[ab]");
    Request(core, "/put/c/9"); // put never writes
    const std::string expected = "b=1\nb=0\na=0\na=0\nb=0\na=0\n";
    EXPECT_EQ(board.ReadAvailable(expected.size()), expected);
    int lineArrows = 0;
    for (const auto& arrow : arrows)
        lineArrows += arrow.at(0).toInt() == 2 ? 1 : 0;
    EXPECT_EQ(lineArrows, 6);
}

TEST_F(SerialLinkTest, HealthyPortIsNotReopenedByTheWatch)
{
    QSignalSpy opened(&core, &ServerCore::serialOpened);
    board.Write("{a=");
    RunEventsFor(350); // several watch ticks while a frame is half-way
    board.Write("7}");
    ASSERT_TRUE(WaitUntil([&] { return Stored(core, "a", "7"); }));
    EXPECT_EQ(opened.count(), 0);
    EXPECT_FALSE(core.Link().CrossShown());
}

TEST_F(SerialLinkTest, UnplugShowsTheCrossAndReplugBehindTheSameNameResumes)
{
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("board"));
    ASSERT_TRUE(QFile::link(board.SlavePath(), link));
    core.ChangeState();
    ServerSettings settings = core.Settings();
    settings.COMPort = link;
    core.SetSettings(settings);
    core.ChangeState();
    ASSERT_TRUE(core.Link().Port().PortOpen());

    QSignalSpy crosses(&core, &ServerCore::crossChanged);
    QSignalSpy lost(&core, &ServerCore::serialLost);
    board.Unplug();
    ASSERT_TRUE(WaitUntil([&] { return core.Link().CrossShown(); }));
    ASSERT_EQ(lost.count(), 1);
    EXPECT_EQ(lost.at(0).at(0).toString(), link);
    EXPECT_FALSE(core.Link().Port().PortOpen());
    EXPECT_TRUE(core.Link().Retrying());
    EXPECT_EQ(Request(core, "/set/led/on"), "on"); // the HTTP side goes on

    PtyBoard replugged;
    QFile::remove(link);
    ASSERT_TRUE(QFile::link(replugged.SlavePath(), link));
    ASSERT_TRUE(WaitUntil([&] { return core.Link().Port().PortOpen(); }));
    EXPECT_FALSE(core.Link().CrossShown());
    replugged.Write("{back=1}");
    ASSERT_TRUE(WaitUntil([&] { return Stored(core, "back", "1"); }));
    ASSERT_EQ(crosses.count(), 2);
}

TEST_F(SerialLinkTest, FailedWriteKeepsTheStoreChangeAndStartsTheRetry)
{
    board.Unplug();
    // Before the event loop notices, the port still reads open: the write itself fails.
    EXPECT_EQ(Request(core, "/set/a/5"), "5");
    EXPECT_TRUE(Stored(core, "a", "5"));
    ASSERT_TRUE(WaitUntil([&] { return core.Link().CrossShown(); }));
    EXPECT_TRUE(core.Link().Retrying());
}

TEST_F(SerialLinkTest, StopClosesThePortAndEverythingAroundIt)
{
    core.ChangeState();
    EXPECT_FALSE(core.ServerRunning());
    EXPECT_FALSE(core.Link().Port().PortOpen());
    EXPECT_FALSE(core.Link().Polling());
    EXPECT_FALSE(core.Link().Retrying());
    board.Write("{late=1}");
    RunEventsFor(200);
    EXPECT_FALSE(core.Store().Exists("late"));
}

struct OpenFailure {
    const char* comPort;
    const char* comSettings;
    const char* reasonPart;
};

class SerialOpenFailureTest : public ::testing::TestWithParam<OpenFailure> {};

// The real one-second retry: the cross stays and StartCOM runs again every second.
TEST_P(SerialOpenFailureTest, CrossAndOneRetryPerSecond)
{
    ServerCore core(SettingsFor(GetParam().comPort, GetParam().comSettings));
    QSignalSpy failures(&core, &ServerCore::serialFailed);
    QSignalSpy crosses(&core, &ServerCore::crossChanged);
    core.ChangeState();
    ASSERT_TRUE(core.ServerRunning());
    ASSERT_EQ(failures.count(), 1);
    EXPECT_TRUE(failures.at(0).at(1).toString().contains(QLatin1String(GetParam().reasonPart)))
        << failures.at(0).at(1).toString().toStdString();
    EXPECT_EQ(Request(core, "/set/a/1"), "1");
    EXPECT_FALSE(core.Link().Polling());
    RunEventsFor(2300);
    EXPECT_EQ(failures.count(), 3);
    EXPECT_EQ(crosses.count(), 1);
    core.ChangeState();
    EXPECT_FALSE(core.Link().CrossShown());
    EXPECT_FALSE(core.Link().Retrying());
}

INSTANTIATE_TEST_SUITE_P(
    Failures, SerialOpenFailureTest,
    ::testing::Values(OpenFailure{"/nonexistent/board", "9600,n,8,1", ""},
                      OpenFailure{"COMX", "9600,n,8,1", "1 to 99"},
                      OpenFailure{"/dev/null", "9600,x,8,1", "parity"}));

TEST(SerialRealIntervalsTest, PollEveryTenthOfASecondAndNoReopenAcrossTheWatch)
{
    PtyBoard board;
    ServerCore core(SettingsFor(board.SlavePath()));
    QSignalSpy arrows(&core, &ServerCore::arrowLit);
    QSignalSpy opened(&core, &ServerCore::serialOpened);
    core.ChangeState();
    ASSERT_EQ(opened.count(), 1);
    RunEventsFor(5400);
    EXPECT_GE(arrows.count(), 45); // arrow 3 on each poll, also when nothing came
    EXPECT_EQ(opened.count(), 1);
    EXPECT_TRUE(core.Link().Port().PortOpen());
}

} // namespace
} // namespace pontivo
