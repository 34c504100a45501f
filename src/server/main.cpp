#include "server/CommandLine.h"
#include "server/HeadlessRunner.h"
#include "server/ModuleLoader.h"
#include "net/NativeSocket.h"
#include "serial/PortList.h"
#include "server/ServerCore.h"
#include "server/UserCommands.h"
#include "server/WindowModule.h"

#include <QCoreApplication>

#include <iostream>
#include <memory>

namespace {

// Qt aborts when it cannot reach a display; say what to do instead.
bool DisplayAvailable()
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
#else
    return true;
#endif
}

int RunDesktop(int& argc, char* argv[], const pontivo::ServerOptions& options)
{
    if (!DisplayAvailable()) {
        std::cerr << "pontivo: no display found; run 'pontivo --headless' to serve without a window\n";
        return 1;
    }
    QString error;
    pontivo::WindowModule* const window = pontivo::LoadModule<pontivo::WindowModule>(pontivo::kWindowModuleFile, error);
    if (!window) {
        std::cerr << "pontivo: the window is not available: " << error.toStdString()
                  << "; run 'pontivo --headless' to serve without a window\n";
        return 1;
    }
    return window->Run(argc, argv, options);
}

// A headless server has no desktop to integrate with: Qt's own loop costs about a third less per
// connection than the GLib one.
void InstallEventLoop()
{
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
}

} // namespace

int main(int argc, char* argv[])
{
    using namespace pontivo;
    IgnoreBrokenPipe();
    const CommandLine line = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (!line.error.empty()) {
        std::cerr << "pontivo: " << line.error << " (pontivo --help lists the options)\n";
        return 2;
    }
    if (line.help) {
        std::cout << UsageText();
        return 0;
    }
    if (line.version) {
        std::cout << ServerCore::Caption().toStdString() << "\n";
        return 0;
    }
    if (line.users.kind != UserCommand::Kind::None)
        return RunUserCommand(line.users);
    if (line.listPorts) {
        std::cout << PortTable(AvailablePorts(), DeviceExists);
        return 0;
    }
    if (!line.headless)
        return RunDesktop(argc, argv, line.options);

    InstallEventLoop();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Pontivo"));
    ServerSettings settings;
    settings.httpPort = QString::fromStdString(line.httpPort);
    settings.comPort = QString::fromStdString(line.comPort);
    settings.comSettings = QString::fromStdString(line.comSettings);
    HeadlessRunner runner(settings, line.options);
    return runner.Run();
}
