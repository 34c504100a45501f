#include "LoopbackClient.h"
#include "ProgramHarness.h"
#include "PtyBoard.h"

#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

namespace pontivo {
namespace {

using namespace pontivo::testing;

const QString kProgram = QStringLiteral(PONTIVO_EXECUTABLE);

long CpuTicks(qint64 pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string content((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(content.substr(content.rfind(')') + 2));
    std::string field;
    long utime = 0;
    long stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::stol(field);
        if (i == 15)
            stime = std::stol(field);
    }
    return utime + stime;
}

TEST(HeadlessProcessTest, HelpAndBadArguments)
{
    QProcess help;
    help.start(kProgram, {QStringLiteral("--help")});
    ASSERT_TRUE(help.waitForFinished(10000));
    EXPECT_EQ(help.exitCode(), 0);
    EXPECT_TRUE(help.readAllStandardOutput().contains("--headless"));

    QProcess bad;
    bad.start(kProgram, {QStringLiteral("--headless"), QStringLiteral("--frobnicate")});
    ASSERT_TRUE(bad.waitForFinished(10000));
    EXPECT_EQ(bad.exitCode(), 2);
    EXPECT_TRUE(bad.readAllStandardError().contains("--frobnicate"));
}

TEST(HeadlessProcessTest, WithoutADisplayTheWindowPointsToHeadless)
{
    QProcess window;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QString::fromLatin1(name));
    window.setProcessEnvironment(environment);
    window.start(kProgram, {});
    ASSERT_TRUE(window.waitForFinished(10000));
    EXPECT_EQ(window.exitCode(), 1);
    const QString said = QString::fromLocal8Bit(window.readAllStandardError());
    EXPECT_EQ(said.count(QLatin1Char('\n')), 1) << said.toStdString();
    EXPECT_TRUE(said.contains(QStringLiteral("no display")) && said.contains(QStringLiteral("--headless")));
}

TEST(HeadlessProcessTest, TakenPortPrintsTheWarningAndExitsWithStatusOne)
{
    QTcpServer blocker;
    ASSERT_TRUE(blocker.listen(QHostAddress::Any, 0));
    QProcess process;
    process.start(kProgram, {QStringLiteral("--headless"), QStringLiteral("--http-port"),
                             QString::number(blocker.serverPort())});
    ASSERT_TRUE(process.waitForFinished(10000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 1);
    EXPECT_TRUE(process.readAllStandardError().contains("HTTP Server - "));
}

TEST(HeadlessProcessTest, ServesAndStopsCleanlyOnSigterm)
{
    const std::uint16_t port = FreePort();
    QProcess process;
    QByteArray err;
    ASSERT_TRUE(StartServing(process, ProgramCommand({"--headless", "--http-port", QString::number(port)}), err))
        << err.toStdString();
    EXPECT_EQ(Fetch(port, "/set/a/1"), "1");
    EXPECT_EQ(Fetch(port, "/get/a"), "1");
    ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
    ASSERT_TRUE(process.waitForFinished(10000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 0);
}

std::string RunCurl(QStringList arguments)
{
    QProcess curl;
    curl.start(QStringLiteral("curl"), QStringList{QStringLiteral("-s"), QStringLiteral("-i")} + arguments);
    if (!curl.waitForFinished(10000) || curl.exitCode() != 0)
        return "curl failed (" + std::to_string(curl.exitCode()) + "): " + curl.readAllStandardError().toStdString();
    return curl.readAllStandardOutput().toStdString();
}

TEST(HeadlessProcessTest, CurlSeesExactResponses)
{
    const std::uint16_t port = FreePort();
    QProcess process;
    QByteArray err;
    ASSERT_TRUE(StartServing(process, ProgramCommand({"--headless", "--http-port", QString::number(port)}), err))
        << err.toStdString();
    const QString base = QStringLiteral("http://127.0.0.1:%1").arg(port);
    EXPECT_EQ(RunCurl({"-H", "Origin: http://page.test", base + "/set/led/on"}),
              "HTTP/1.1 200 OK\r\nConnection: close\r\nServer: Pontivo 2.0\r\n"
              "Access-Control-Allow-Origin: http://page.test\r\nContent-Length: 2\r\n\r\non");
    EXPECT_EQ(RunCurl({"-X", "POST", "-d", "ignored body", base + "/getlike/l*"}),
              "HTTP/1.1 200 OK\r\nConnection: close\r\nServer: Pontivo 2.0\r\nContent-Length: 8\r\n\r\nled=on\r\n");
    EXPECT_EQ(RunCurl({"-g", QStringLiteral("http://[::1]:%1/get/led").arg(port)}),
              "HTTP/1.1 200 OK\r\nConnection: close\r\nServer: Pontivo 2.0\r\nContent-Length: 2\r\n\r\non");
    process.kill();
    process.waitForFinished(5000);
}

// Connections keep arriving and the board comes back while every descriptor is taken: the
// server neither spins nor drops what waits, and the port opens once descriptors are free.
TEST(HeadlessProcessTest, RunningOutOfDescriptorsNeitherSpinsNorStopsServing)
{
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("board"));
    auto board = std::make_unique<PtyBoard>();
    ASSERT_TRUE(QFile::link(board->SlavePath(), link));
    const std::uint16_t port = FreePort();
    QProcess process;
    QByteArray err;
    ASSERT_TRUE(StartServing(process,
                             "ulimit -n 40 && " +
                                 ProgramCommand({"--headless", "--http-port", QString::number(port), "--com-port", link}),
                             err))
        << err.toStdString();
    const qint64 pid = process.processId();

    std::vector<std::future<Exchange>> holders;
    for (int i = 0; i < 80; ++i)
        holders.push_back(StartClient(port, {{}, 0, 2500})); // silent: hold a descriptor each
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto replugged = std::make_unique<PtyBoard>();
    QFile::remove(link);
    ASSERT_TRUE(QFile::link(replugged->SlavePath(), link));
    board.reset(); // unplugged: the port must be reopened while no descriptor is free
    std::vector<std::future<Exchange>> waiting;
    for (int i = 0; i < 10; ++i)
        waiting.push_back(StartClient(port, {{{"GET /test HTTP/1.1\r\n\r\n"}}, 0, 8000}));
    const long before = CpuTicks(pid);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const long used = CpuTicks(pid) - before;
    EXPECT_LT(used, 40) << "server used " << used << " ticks in 1.5 s while out of descriptors";

    for (auto& holder : holders)
        holder.get(); // all close after 2.5 s
    for (auto& request : waiting)
        EXPECT_EQ(BodyOf(request.get().received), "OK");
    const qsizetype lost = err.indexOf("lost:");
    ASSERT_TRUE(WaitForText(process, QProcess::StandardError, "serial port " + link.toLocal8Bit() + " open", err,
                            lost < 0 ? err.size() : lost))
        << err.toStdString();
    // Said as it is: the board was unplugged, then no descriptor was free to open it again.
    EXPECT_TRUE(err.contains(" lost: reading from the device failed")) << err.toStdString();
    EXPECT_TRUE(err.contains("cannot be opened: no file descriptor is free")) << err.toStdString();
    replugged->Write("{back=1}");
    EXPECT_TRUE(Eventually([&] { return Fetch(port, "/get/back") == "1"; }));
    process.kill();
    process.waitForFinished(5000);
}

} // namespace
} // namespace pontivo
