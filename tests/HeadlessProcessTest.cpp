#include "LoopbackClient.h"

#include <QProcess>
#include <QTcpServer>

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>

namespace pontivo {
namespace {

using namespace pontivo::testing;

const QString kProgram = QStringLiteral(PONTIVO_EXECUTABLE);

// Starts the program and waits for its "serving" line.
bool StartServing(QProcess& process, const QString& command)
{
    process.setReadChannel(QProcess::StandardError);
    process.start(QStringLiteral("bash"), {QStringLiteral("-c"), command});
    QByteArray seen;
    while (process.waitForReadyRead(10000)) {
        seen += process.readAllStandardError();
        if (seen.contains("serving http://localhost:"))
            return true;
    }
    ADD_FAILURE() << "no serving line; stderr was: " << seen.toStdString();
    return false;
}

std::string Fetch(std::uint16_t port, const std::string& target)
{
    auto future = StartClient(port, {{{"GET " + target + " HTTP/1.1\r\n\r\n"}}, 0, 3000});
    return BodyOf(future.get().received);
}

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
    EXPECT_TRUE(window.readAllStandardError().contains("--headless"));
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
    ASSERT_TRUE(StartServing(process, QStringLiteral("exec '%1' --headless --http-port %2").arg(kProgram).arg(port)));
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
    ASSERT_TRUE(StartServing(process, QStringLiteral("exec '%1' --headless --http-port %2").arg(kProgram).arg(port)));
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

TEST(HeadlessProcessTest, RunningOutOfDescriptorsNeitherSpinsNorStopsServing)
{
    const std::uint16_t port = FreePort();
    QProcess process;
    ASSERT_TRUE(StartServing(
        process, QStringLiteral("ulimit -n 40 && exec '%1' --headless --http-port %2").arg(kProgram).arg(port)));
    const qint64 pid = process.processId();

    std::vector<std::future<Exchange>> holders;
    for (int i = 0; i < 80; ++i)
        holders.push_back(StartClient(port, {{}, 0, 2500})); // silent: hold a descriptor each
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const long before = CpuTicks(pid);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const long used = CpuTicks(pid) - before;
    EXPECT_LT(used, 40) << "server used " << used << " ticks in 1.5 s while out of descriptors";

    for (auto& holder : holders)
        holder.get(); // all close after 2.5 s
    EXPECT_EQ(Fetch(port, "/test"), "OK");
    process.kill();
    process.waitForFinished(5000);
}

} // namespace
} // namespace pontivo
