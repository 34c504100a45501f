#include "Loopback.h"
#include "serial/PortList.h"
#include "PtyBoard.h"
#include "record/Recorder.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <memory>
#include <thread>
#include <tuple>

using namespace pontivo;
using namespace pontivo::testing;

namespace {

// Reads the process's current channel until `text` stands in `seen` at or after `from`, or the process ended.
bool WaitForText(QProcess& process, const QByteArray& text, QByteArray& seen, qsizetype from = 0, int ms = 10000)
{
    for (QDeadlineTimer deadline(ms); seen.indexOf(text, from) < 0 && !deadline.hasExpired();) {
        const bool running = process.state() != QProcess::NotRunning;
        process.waitForReadyRead(100);
        seen += process.readAll();
        if (!running)
            break;
    }
    return seen.indexOf(text, from) >= 0;
}

// The program serving on a port, started by the shell after `prefix`; waits for its "serving"
// line and keeps its standard error so far in `err`. It refuses port 0, so it gets a port that
// was free when picked, and starts again on another if a program took that one in between.
bool Serve(QProcess& process, std::uint16_t& port, QByteArray& err, const QString& comPort = "16", const QString& prefix = "",
           const QString& more = "")
{
    const QString command = QStringLiteral("%1 exec '%2' --headless --http-port %3 --com-port '%4'") + more;
    process.setReadChannel(QProcess::StandardError);
    for (int attempt = 0; attempt < 5; ++attempt) {
        port = FreePort();
        err.clear();
        process.start("bash", {"-c", command.arg(prefix, PONTIVO_EXECUTABLE, QString::number(port), comPort)});
        if (WaitForText(process, "serving http://localhost:", err) || !err.contains("already in use"))
            return err.contains("serving http://localhost:");
        process.waitForFinished(10000);
    }
    return false;
}

// The body answered for a GET of the target, from a client on its own thread.
std::string Fetch(std::uint16_t port, const std::string& target)
{
    return BodyOf(StartClient(port, {{{"GET " + target + " HTTP/1.1\r\n\r\n"}}, 0, 3000}).get().received);
}

TEST(ProcessTest, ExitStatusSaysHowItEnded)
{
    QTcpServer blocker;
    ASSERT_TRUE(blocker.listen(QHostAddress::Any, 0));
    const std::vector<std::tuple<QStringList, int, QByteArray>> runs{
        {{"--help"}, 0, "--headless"}, {{"--headless", "--frobnicate"}, 2, "--frobnicate"},
        {{"--headless", "--mqtt", "http://b"}, 2, "--mqtt 'http://b' is not mqtt://HOST[:PORT]"},
        {{"--headless", "--http-port", QString::number(blocker.serverPort())}, 1,
         "HTTP Server - The bound address is already in use"},
        {{"--headless", "--http-port", "0"}, 1, "HTTP Server - "}, // never a port of the system's choosing
        {{"--record-keep", "7w"}, 2, "--record-keep: '7w' is not a time"}, {{"--restore"}, 2, "give --record FILE too"},
        {{"--bind", "localhost"}, 2, "--bind: 'localhost' is not an IP"}, {{"--allow-origin=a"}, 2, "'a' is not an origin"},
        {{}, 1, "pontivo: no display found; run 'pontivo --headless' to serve without a window\n"}};
    for (const auto& [arguments, status, said] : runs) {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            environment.remove(name);
        process.setProcessEnvironment(environment);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(PONTIVO_EXECUTABLE, arguments);
        EXPECT_TRUE(process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit);
        EXPECT_EQ(process.exitCode(), status) << arguments.join(' ').toStdString();
        const QByteArray output = process.readAll();
        EXPECT_TRUE(arguments.isEmpty() ? output == said : output.contains(said)) << output.toStdString();
        EXPECT_TRUE(status != 2 || output.count('\n') == 1) << output.toStdString(); // a wrong value: one line
    }
}

// A program copied away from its modules, or given modules of another version, says which one it
// cannot use and why, in one line, instead of crashing or serving without it.
TEST(ProcessTest, MissingOrOtherVersionModuleIsNamed)
{
    QTemporaryDir dir;
    const QString program = dir.filePath("pontivo");
    ASSERT_TRUE(QFile::copy(PONTIVO_EXECUTABLE, program));
    const QStringList mqtt{"--headless", "--http-port", "1", "--mqtt", "mqtt://127.0.0.1"};
    const std::vector<std::tuple<QStringList, QString, QByteArray>> runs{
        {mqtt, {}, "MQTT is not available: pontivo-mqtt.so was not found in "},
        {{}, {}, "pontivo: the window is not available: pontivo-desktop.so was not found in "},
        {mqtt, PONTIVO_OTHER_VERSION_DIR,
         "pontivo-mqtt.so is org.pontivo.BrokerModule/0, expected org.pontivo.BrokerModule/2"},
        {{}, PONTIVO_OTHER_VERSION_DIR,
         "pontivo-desktop.so is org.pontivo.WindowModule/0, expected org.pontivo.WindowModule/2; run"},
        {mqtt, "other-version", // relative: never taken from the working folder
         "pontivo: PONTIVO_MODULE_DIR=other-version is ignored: it must be an absolute path\n"
         "Pontivo 2.0: MQTT is not available: pontivo-mqtt.so was not found in "}};
    for (const auto& [arguments, modules, said] : runs) {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove("PONTIVO_MODULE_DIR");
        if (!modules.isEmpty())
            environment.insert("PONTIVO_MODULE_DIR", modules);
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        process.setProcessEnvironment(environment);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.setWorkingDirectory(QFileInfo(PONTIVO_OTHER_VERSION_DIR).absolutePath());
        process.start(program, arguments);
        EXPECT_TRUE(process.waitForFinished(10000));
        EXPECT_EQ(process.exitCode(), 1);
        const QByteArray output = process.readAll();
        EXPECT_TRUE(output.contains(said) && output.count('\n') == 1 + said.count('\n')) << output.toStdString();
    }
}

// Nanoseconds the process's main thread has spent on a CPU or waiting for one. A thread that
// spins is always in one of the two, however busy the machine; an idle one seldom is.
long long RunnableNs(qint64 pid)
{
    long long running = 0;
    long long waiting = 0;
    std::ifstream("/proc/" + std::to_string(pid) + "/schedstat") >> running >> waiting;
    return running + waiting;
}

// Connections keep arriving and the board comes back while clients hold every descriptor they
// may: the server neither spins nor drops what waits, and the port opens from the reserve.
TEST(ProcessTest, RunningOutOfDescriptorsNeitherSpinsNorStopsServing)
{
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("board"));
    auto board = std::make_unique<PtyBoard>();
    ASSERT_TRUE(QFile::link(board->SlavePath(), link));
    std::uint16_t port = 0;
    QProcess process;
    QByteArray err;
    ASSERT_TRUE(Serve(process, port, err, link, "ulimit -n 40 &&"));
    std::vector<std::future<Exchange>> holders;
    for (int i = 0; i < 80; ++i)
        holders.push_back(StartClient(port, {{}, 0, 2500})); // silent: hold a descriptor each
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    PtyBoard replugged;
    QFile::remove(link);
    ASSERT_TRUE(QFile::link(replugged.SlavePath(), link));
    board.reset(); // unplugged: the port must be reopened while no descriptor is free
    std::vector<std::future<Exchange>> waiting;
    for (int i = 0; i < 10; ++i)
        waiting.push_back(StartClient(port, {{{"GET /test HTTP/1.1\r\n\r\n"}}, 0, 8000}));
    QElapsedTimer window;
    window.start();
    const long long before = RunnableNs(process.processId());
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const long long runnable = RunnableNs(process.processId()) - before;
    EXPECT_LT(runnable, window.nsecsElapsed() / 2) << "running or ready to run " << runnable / 1'000'000 << " ms of "
                                                   << window.elapsed() << " while out of descriptors";
    for (auto& holder : holders)
        holder.get();
    for (auto& request : waiting)
        EXPECT_EQ(BodyOf(request.get().received), "OK");
    const qsizetype lostAt = err.indexOf("lost:");
    ASSERT_TRUE(WaitForText(process, "serial port " + link.toLocal8Bit() + " open", err, lostAt < 0 ? err.size() : lostAt));
    // Said as it is: the board was unplugged; the descriptors no client may take opened it again.
    EXPECT_TRUE(err.contains(" lost: reading from the device failed")) << err.toStdString();
    EXPECT_FALSE(err.contains("cannot be opened")) << err.toStdString();
    ::kill(static_cast<pid_t>(process.processId()), SIGINT);
    EXPECT_TRUE(process.waitForFinished(5000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0);
}

TEST(ProcessTest, BoardSimulatorTalksBothWaysAndCleansUpWhenItsInputEnds)
{
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("board"));
    QProcess board;
    board.start(PONTIVO_BOARD_SIM_EXECUTABLE, {"--link", link});
    QByteArray boardOut;
    ASSERT_TRUE(WaitForText(board, "\n", boardOut));
    EXPECT_TRUE(QFileInfo(link).isSymLink());

    std::uint16_t port = 0;
    QProcess pontivo;
    QByteArray err;
    ASSERT_TRUE(Serve(pontivo, port, err, link));
    ASSERT_TRUE(WaitForText(pontivo, " open", err));
    board.write("junk{temp=21}\r\n");
    board.waitForBytesWritten(1000);
    EXPECT_TRUE(WaitUntil([&] { return Fetch(port, "/get/temp") == "21"; }, 5000));
    EXPECT_EQ(Fetch(port, "/set/led/on"), "on");
    EXPECT_TRUE(WaitForText(board, "board got: led=on\n", boardOut));
    board.closeWriteChannel();
    ASSERT_TRUE(board.waitForFinished(5000));
    EXPECT_EQ(board.exitCode(), 0);
    EXPECT_FALSE(QFileInfo(link).isSymLink());
    EXPECT_TRUE(WaitForText(pontivo, "cannot be opened", err));
    QProcess curl; // the server listens on IPv6 too
    curl.start("curl", {"-s", "-g", QStringLiteral("http://[::1]:%1/get/temp").arg(port)});
    EXPECT_TRUE(curl.waitForFinished(10000) && curl.readAllStandardOutput() == "21");
    pontivo.terminate();
    EXPECT_TRUE(pontivo.waitForFinished(5000) && pontivo.exitStatus() == QProcess::NormalExit && pontivo.exitCode() == 0);
}

// Without a USB board (as on the test machine) auto says so once while it retries, and serves on.
TEST(ProcessTest, ListPortsAndAutoPortWithoutAUsbBoard)
{
    if (PickAuto(AvailablePorts()))
        GTEST_SKIP() << "this machine has a USB serial port";
    QProcess list;
    list.start(PONTIVO_EXECUTABLE, {"--list-ports"});
    ASSERT_TRUE(list.waitForFinished(10000));
    const QByteArray table = list.readAllStandardOutput();
    EXPECT_EQ(list.exitCode(), 0);
    EXPECT_TRUE(table == "No serial ports found.\n" || (table.startsWith("COM ") && table.contains(" DEVICE ")))
        << table.toStdString();

    std::uint16_t port = 0;
    QProcess process;
    QByteArray err;
    ASSERT_TRUE(Serve(process, port, err, "auto"));
    ASSERT_TRUE(WaitForText(process, "serial port auto cannot be opened: no USB serial port found", err));
    EXPECT_EQ(Fetch(port, "/com"), "0");
    EXPECT_FALSE(WaitForText(process, " open (", err, 0, 2500)); // two retries
    EXPECT_EQ(err.count("cannot be opened"), 1) << err.toStdString();
    process.terminate();
    EXPECT_TRUE(process.waitForFinished(5000) && process.exitCode() == 0);
}

// Killed outright once the recording holds the last write, the server starts again with every value.
TEST(ProcessTest, AKilledServerRestoresWhatItRecorded)
{
    QTemporaryDir dir;
    const QString file = dir.filePath("r.db");
    std::uint16_t port = 0;
    QProcess first;
    QByteArray err;
    ASSERT_TRUE(Serve(first, port, err, "16", "", " --record '" + file + "'"));
    for (int i = 0; i < 50; ++i)
        Fetch(port, "/put/v" + std::to_string(i % 7) + "/" + std::to_string(i));
    Fetch(port, "/unset/v3");
    Fetch(port, "/put/v0/last"); // committed after everything before it
    const std::string listing = Fetch(port, "/get");
    std::string error;
    const RecordingReader reader(file.toStdString(), error);
    const auto recorded = [&] {
        std::vector<HistoryPoint> points;
        reader.History({"v0", {}, {}, 1}, points, error);
        return points.empty() ? std::string() : points.back().value;
    };
    EXPECT_TRUE(WaitUntil([&] { return recorded() == "last"; }, 10000)) << recorded();
    ::kill(static_cast<pid_t>(first.processId()), SIGKILL);
    first.waitForFinished(5000);
    QProcess second;
    ASSERT_TRUE(Serve(second, port, err, "16", "", " --record '" + file + "' --restore"));
    EXPECT_EQ(Fetch(port, "/get"), listing);
    second.terminate();
    EXPECT_TRUE(second.waitForFinished(5000) && second.exitCode() == 0);
}

// Only the board's own writes come back, in order, from the simulator into a running server.
TEST(ProcessTest, ReplayPlaysTheBoardsRecordedFrames)
{
    QTemporaryDir dir;
    const std::string file = dir.filePath("r.db").toStdString();
    {
        std::int64_t now = 1000;
        VariableStore store([&now] { return now += 50; });
        Recorder recorder(store, {file}, {});
        std::string error;
        ASSERT_TRUE(recorder.Start(error)) << error;
        store.SetVariable("led", "on"); // first, so that the store shows it if it were played
        const VariableStore::SourceScope board(store, WriteSource::Board);
        for (const char* value : {"20", "21", "22"})
            store.SetVariable("temp", value);
    }
    const QString link = dir.filePath("board");
    QProcess board;
    board.start(PONTIVO_BOARD_SIM_EXECUTABLE, {"--link", link, "--replay", QString::fromStdString(file), "--speed", "2"});
    QByteArray sent;
    ASSERT_TRUE(WaitForText(board, "\n", sent));
    std::uint16_t port = 0;
    QProcess pontivo;
    QByteArray err;
    ASSERT_TRUE(Serve(pontivo, port, err, link));
    EXPECT_TRUE(WaitForText(board, "board sent: {temp=20}\nboard sent: {temp=21}\nboard sent: {temp=22}\n", sent));
    EXPECT_TRUE(WaitUntil([&] { return Fetch(port, "/get") == "temp=22\r\n"; }, 5000));
    board.terminate();
    pontivo.terminate();
    EXPECT_TRUE(board.waitForFinished(5000) && pontivo.waitForFinished(5000));
}

} // namespace
