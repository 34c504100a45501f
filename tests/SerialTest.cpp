#include "Loopback.h"
#include "PtyBoard.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <set>

using namespace pontivo;
using namespace pontivo::testing;

namespace {

// Not "v" + std::to_string(i): GCC 12 warns falsely about that concatenation.
std::string Numbered(int i)
{
    char name[16];
    std::snprintf(name, sizeof name, "v%d", i);
    return name;
}

int Count(const QSignalSpy& arrows, int index)
{
    return static_cast<int>(std::count_if(arrows.begin(), arrows.end(), [&](const auto& a) { return a.at(0) == index; }));
}

// The board behind a fixed name, as a udev link would be, with short poll, watch and retry intervals.
class SerialTest : public ::testing::Test {
protected:
    SerialTest()
    {
        QFile::link(board->SlavePath(), link);
        core.Link().SetTimings({50, 100, 100});
        Start(core);
    }
    // Another board behind the same name, as when the cable goes back in.
    void Replug()
    {
        auto next = std::make_unique<PtyBoard>();
        QFile::remove(link);
        QFile::link(next->SlavePath(), link);
        board = std::move(next);
        ASSERT_TRUE(WaitUntil([&] { return core.Link().Port().PortOpen(); }));
    }
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("board"));
    std::unique_ptr<PtyBoard> board = std::make_unique<PtyBoard>();
    ServerCore core{SettingsFor(link)};
    QSignalSpy arrows{&core, &ServerCore::arrowLit};
    QSignalSpy lost{&core, &ServerCore::serialLost};
};

TEST_F(SerialTest, FramesApplyAsTheyArriveAndLinesReachTheBoard)
{
    ASSERT_TRUE(core.Link().Port().PortOpen());
    QSignalSpy opened(&core, &ServerCore::serialOpened);
    board->Write("boot noise x=1}{temp=21}\r\n{a=");
    ASSERT_TRUE(WaitUntil([&] { return Stored(core, "temp", "21"); }));
    RunEventsFor(350); // several watch ticks while a frame is half-way: a healthy port stays open
    board->Write("1}");
    ASSERT_TRUE(WaitUntil([&] { return Stored(core, "a", "1"); }));
    EXPECT_FALSE(core.Store().Exists("x"));
    EXPECT_EQ(opened.count(), 0);
    EXPECT_EQ(Request(core, "/set/b/1"), "1");
    EXPECT_EQ(board->ReadAvailable(4), "b=1\n");
    EXPECT_EQ(Count(arrows, 2), 1);
    EXPECT_EQ(Request(core, "/com"), "0"); // a device path has no port number
}

TEST_F(SerialTest, UnplugShowsTheCrossAndReplugResumesWithoutTheHalfFrame)
{
    QSignalSpy crosses(&core, &ServerCore::crossChanged);
    board->Write("{a=12");
    RunEventsFor(150);
    board->Unplug();
    ASSERT_TRUE(WaitUntil([&] { return core.Link().CrossShown(); }));
    ASSERT_EQ(lost.count(), 1);
    EXPECT_EQ(lost.at(0).at(0).toString(), link);
    EXPECT_EQ(lost.at(0).at(1).toString(), "reading from the device failed (unplugged?)");
    EXPECT_TRUE(core.Link().Retrying());
    EXPECT_EQ(Request(core, "/set/led/on"), "on"); // the HTTP side goes on
    Replug();
    EXPECT_FALSE(core.Link().CrossShown());
    board->Write("3}{b=1}");
    ASSERT_TRUE(WaitUntil([&] { return Stored(core, "b", "1"); }));
    EXPECT_FALSE(core.Store().Exists("a"));
    EXPECT_EQ(crosses.count(), 2);
}

TEST_F(SerialTest, FailedWriteKeepsTheStoreChangeAndStartsTheRetryUntilStop)
{
    board->Unplug();
    // Before the event loop notices, the port still reads open: the write itself fails.
    EXPECT_EQ(Request(core, "/set/a/5"), "5");
    EXPECT_TRUE(Stored(core, "a", "5"));
    ASSERT_TRUE(WaitUntil([&] { return core.Link().CrossShown(); }));
    EXPECT_TRUE(core.Link().Retrying());
    core.ChangeState();
    EXPECT_FALSE(core.Link().Port().PortOpen() || core.Link().Polling() || core.Link().Retrying() || core.Link().CrossShown());
}

TEST_F(SerialTest, ABoardThatComesBackIsToldWhatClientsSetSinceItLastReported)
{
    ServerOptions options;
    options.restoreBoard = true;
    core.ApplyOptions(options);
    for (const char* request : {"/set/led/on", "/put/p/1", "/set/relay/open", "/setlike/p/2"})
        Request(core, request);
    board->Write("{relay=open}{relay=shut}"); // applied, then changed on the board
    ASSERT_TRUE(WaitUntil([&] { return Stored(core, "relay", "shut"); }));
    board->ReadAvailable(1000, 100);
    board->Unplug();
    ASSERT_TRUE(WaitUntil([&] { return lost.count() == 1; }));
    Request(core, "/set/fan/2");
    Replug();
    const std::string told = "led=on\np=2\nfan=2\n";
    EXPECT_EQ(board->ReadAvailable(told.size()), told);
}

// A board that applies and echoes every line, the hello too, and resets before it applied led=on.
TEST_F(SerialTest, AHelloRestoresTheClaimedValueOnceAtMostEverySecondAndSaysSoOnce)
{
    ServerOptions options;
    options.boardHello = "hello";
    core.ApplyOptions(options);
    QSignalSpy notices(&core, &ServerCore::notice);
    Request(core, "/set/led/on");
    board->ReadAvailable(7);
    board->Write("{led=off}{hello=1}");
    EXPECT_EQ(board->ReadAvailable(7), "led=on\n");
    board->Write("{led=on}");
    Request(core, "/set/hello/1");
    std::string lines;
    QElapsedTimer clock;
    clock.start();
    qint64 lastLineMs = 0;
    while (clock.elapsed() < 2000 && lines.size() < 100000) {
        const std::string got = board->ReadAvailable(1, 20);
        for (std::size_t at = 0, end = 0; (end = got.find('\n', at)) != std::string::npos; at = end + 1)
            board->Write("{" + got.substr(at, end - at) + "}"), lastLineMs = clock.elapsed();
        lines += got;
    }
    EXPECT_TRUE(lines == "hello=1\nled=on\n") << lines.size() << " bytes: " << lines.substr(0, 40);
    EXPECT_GE(lastLineMs, 900);
    EXPECT_EQ(notices.count(), 1);
    board->Unplug();
    Replug();
    EXPECT_EQ(board->ReadAvailable(1, 300), ""); // the opening waits for the hello
}

// Far more than the terminal's buffer takes while the board is not reading.
TEST_F(SerialTest, LargeWriteReachesASlowBoardWholeAndNothingIsLeftForTheNextBoard)
{
    std::string lines;
    for (int i = 10000; i < 13000; ++i) {
        const std::string name = Numbered(i);
        const std::string value(100, static_cast<char>('a' + i % 26));
        core.Store().SetVariable(name, value);
        lines.append(name).append("=").append(value).append("\n");
    }
    EXPECT_EQ(Request(core, "/pushlike/*"), "");
    const std::string received = board->ReadAvailable(lines.size(), 10000);
    EXPECT_TRUE(received == lines) << "lines reached the board out of order or damaged";
    EXPECT_EQ(lost.count(), 0);

    Request(core, "/pushlike/*");
    EXPECT_FALSE(board->ReadAvailable(1000).empty());
    board->Unplug();
    ASSERT_TRUE(WaitUntil([&] { return lost.count() == 1; }));
    Replug();
    EXPECT_EQ(Request(core, "/set/z/1"), "1");
    EXPECT_EQ(board->ReadAvailable(4), "z=1\n");
}

TEST_F(SerialTest, BoardThatStopsReadingIsLetGoOnceAMegabyteWaits)
{
    for (int i = 0; i < 1000; ++i)
        core.Store().SetVariable(Numbered(i), std::string(400, 'x'));
    for (int i = 0; i < 4 && lost.isEmpty(); ++i)
        Request(core, "/pushlike/*");
    ASSERT_EQ(lost.count(), 1);
    EXPECT_TRUE(lost.at(0).at(1).toString().startsWith("the board has stopped reading"));
    ASSERT_TRUE(WaitUntil([&] { return core.Link().Port().PortOpen(); }));
    EXPECT_EQ(Request(core, "/set/z/1"), "1");
    const std::string received = board->ReadAvailable(1 << 20, 2000);
    EXPECT_LT(received.size(), 1u << 20); // the queue was let go
    EXPECT_EQ(received.substr(received.size() - 4), "z=1\n");
}

// Listed again under another name, the USB board that was open is opened there; another of its kind is not.
TEST_F(SerialTest, LostUsbBoardIsFollowedToItsNewNameButNeverSwappedForAnother)
{
    const auto usb = [](const PtyBoard& pty, std::string serial) {
        return PortRecord{pty.SlavePath().toStdString(), 0x2341, 0x43, std::move(serial), "", "", ""};
    };
    std::vector<PortRecord> listed{usb(*board, "A")};
    core.Link().SetPortLister([&] { return listed; });
    core.ChangeState();
    core.ChangeState(); // opened again, now with the board listed
    ASSERT_TRUE(core.Link().Port().PortOpen());
    const PtyBoard other;
    const PtyBoard moved;
    QFile::remove(link);
    board->Unplug();
    listed = {usb(other, "B")};
    ASSERT_TRUE(WaitUntil([&] { return lost.count() == 1; }));
    RunEventsFor(300);
    EXPECT_FALSE(core.Link().Port().PortOpen());
    listed.push_back(usb(moved, "A"));
    ASSERT_TRUE(WaitUntil([&] { return core.Link().Port().PortOpen(); }));
    EXPECT_EQ(core.Link().Port().Device(), moved.SlavePath());
}

// The first retry comes a second after the failed start; later ones keep coming, without another cross.
TEST(SerialIntervalsTest, PortThatCannotOpenShowsTheCrossAndIsRetriedEverySecond)
{
    ServerCore core(SettingsFor(QStringLiteral("/nonexistent/board")));
    QSignalSpy failures(&core, &ServerCore::serialFailed);
    QSignalSpy crosses(&core, &ServerCore::crossChanged);
    const auto [early, late] = CountsAround(1000, [&] { Start(core); }, [&] { return failures.count(); });
    ASSERT_TRUE(core.ServerRunning());
    EXPECT_EQ(early, 1);
    EXPECT_GE(late, 2);
    core.Link().SetTimings({100, 5000, 20});
    ASSERT_TRUE(WaitUntil([&] { return failures.count() >= late + 3; }));
    EXPECT_EQ(crosses.count(), 1);
    core.ChangeState();
    EXPECT_FALSE(core.Link().CrossShown() || core.Link().Retrying());
    // A board plugged in elsewhere is named, with the option that opens it.
    core.Link().SetPortLister([] { return std::vector<PortRecord>{{"/dev/ttyACM0", 0x2341, 0x43, "", "", "Uno", ""}}; });
    Start(core);
    ASSERT_GE(failures.count(), 1);
    EXPECT_TRUE(failures.last().at(1).toString().endsWith(
        QStringLiteral("; boards present: /dev/ttyACM0 (Uno); open one with --com-port auto")))
        << failures.last().at(1).toString().toStdString();
}

// Keeps the writes the board made, as name=value, each as often as it came.
class BoardWrites : public ChangeListener {
public:
    void VariableSet(const Variable& variable) override
    {
        if (variable.source == WriteSource::Board)
            seen.insert(variable.name + "=" + variable.value);
    }
    void VariableUnset(std::string_view) override {}
    void StoreReset() override {}
    std::multiset<std::string> seen;
};

// The simulator in each format it writes, read by Pontivo in the same one (and json by auto): its waves
// reach the store, and a set comes back from it as the example sketch answers one.
TEST(SimulatedBoardTest, EachFormatFeedsTheStoreAndASetComesBack)
{
    const std::vector<std::pair<FrameFormat, QString>> rows{
        {FrameFormat::Braces, "braces"}, {FrameFormat::Lines, "lines"}, {FrameFormat::Json, "json"},
        {FrameFormat::Auto, "json"}};
    for (const auto& [format, written] : rows) {
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("board"));
        QProcess simulator;
        simulator.start(PONTIVO_BOARD_SIM_EXECUTABLE, {"--link", link, "--echo", "--frames", written, "--wave",
                                                       "count=ramp:7:9:20ms", "--wave", "level=sine:-1e3:1e3:1s"});
        ASSERT_TRUE(simulator.waitForReadyRead(5000)) << written.toStdString();
        BoardWrites writes;
        ServerCore core{SettingsFor(link)};
        core.Store().AddListener(writes);
        ServerOptions options;
        options.frames = format;
        core.ApplyOptions(options);
        core.Link().SetTimings({20, 100, 100});
        Start(core);
        // The ramp comes back to 7 after 9.
        EXPECT_TRUE(WaitUntil([&] { return writes.seen.count("count=7") > 1 && core.Store().Exists("level"); }))
            << written.toStdString();
        EXPECT_EQ(writes.seen.count("count=10"), 0u);
        EXPECT_EQ(Request(core, "/set/led/on"), "on");
        EXPECT_TRUE(WaitUntil([&] { return writes.seen.count("led=on") > 0; })) << written.toStdString();
        EXPECT_EQ(core.Link().Frames().Malformed(), 0u) << written.toStdString();
        core.StopServer();
        simulator.terminate();
        EXPECT_TRUE(simulator.waitForFinished(5000));
    }
}

} // namespace
