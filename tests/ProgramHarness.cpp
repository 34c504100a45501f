#include "ProgramHarness.h"

#include "LoopbackClient.h"

#include <QElapsedTimer>

#include <thread>

namespace pontivo::testing {

QString ProgramCommand(const QStringList& arguments)
{
    QString command = QStringLiteral("exec '%1'").arg(QStringLiteral(PONTIVO_EXECUTABLE));
    for (const QString& argument : arguments)
        command += QStringLiteral(" '%1'").arg(argument);
    return command;
}

bool WaitForText(QProcess& process, QProcess::ProcessChannel channel, const QByteArray& text, QByteArray& seen,
                 qsizetype from, int timeoutMs)
{
    process.setReadChannel(channel);
    QElapsedTimer timer;
    timer.start();
    while (seen.indexOf(text, from) < 0 && timer.elapsed() < timeoutMs) {
        process.waitForReadyRead(100);
        seen += channel == QProcess::StandardOutput ? process.readAllStandardOutput() : process.readAllStandardError();
    }
    return seen.indexOf(text, from) >= 0;
}

bool StartServing(QProcess& process, const QString& command, QByteArray& err)
{
    process.start(QStringLiteral("bash"), {QStringLiteral("-c"), command});
    return WaitForText(process, QProcess::StandardError, "serving http://localhost:", err);
}

std::string Fetch(std::uint16_t port, const std::string& target)
{
    auto future = StartClient(port, {{{"GET " + target + " HTTP/1.1\r\n\r\n"}}, 0, 3000});
    return BodyOf(future.get().received);
}

bool Eventually(const std::function<bool()>& condition)
{
    for (int i = 0; i < 100 && !condition(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return condition();
}

} // namespace pontivo::testing
