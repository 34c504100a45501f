#include "CommandLine.h"
#include "HeadlessRunner.h"
#include "ServerCore.h"

#include <QCoreApplication>

#include <iostream>

int main(int argc, char* argv[])
{
    using namespace pontivo;
    const CommandLine line = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (!line.error.empty()) {
        std::cerr << "pontivo: " << line.error << "\n\n" << UsageText();
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
    if (!line.headless) {
        std::cerr << "pontivo: this build has no desktop window yet; run 'pontivo --headless' "
                     "(see 'pontivo --help')\n";
        return 2;
    }

    // Qt's own event dispatcher costs about a third less per connection than the GLib one,
    // and a headless server has no GLib-based desktop to integrate with.
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Pontivo"));
    ServerSettings settings;
    settings.SCKPort = QString::fromStdString(line.httpPort);
    settings.COMPort = QString::fromStdString(line.comPort);
    settings.COMSettings = QString::fromStdString(line.comSettings);
    HeadlessRunner runner(settings);
    return runner.Run();
}
