#pragma once

#include <QByteArray>
#include <QProcess>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <string>

namespace pontivo::testing {

// The built program with these arguments, as a shell command (quoted for bash).
QString ProgramCommand(const QStringList& arguments);

// Reads the channel until `text` stands in `seen` at or after `from`; everything read is kept in `seen`.
bool WaitForText(QProcess& process, QProcess::ProcessChannel channel, const QByteArray& text, QByteArray& seen,
                 qsizetype from = 0, int timeoutMs = 10000);

// Runs the shell command and waits for the program's "serving" line; its standard error so far stays in `err`.
bool StartServing(QProcess& process, const QString& command, QByteArray& err);

// The body answered for a GET of the target, from a client on its own thread.
std::string Fetch(std::uint16_t port, const std::string& target);

// Polls the condition for up to five seconds without running an event loop.
bool Eventually(const std::function<bool()>& condition);

} // namespace pontivo::testing
