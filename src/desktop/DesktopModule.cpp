#include "DesktopModule.h"

#include "MainWindow.h"

#include <QApplication>

extern "C" Q_DECL_EXPORT int pontivo_run_desktop(int& argc, char** argv, const pontivo::NetworkGuard& guard,
                                                 const pontivo::MqttOptions& mqtt)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Pontivo"));
    // The program ends only through Exit or the window's close box, not when a message box
    // closes while the window sits in the tray.
    QApplication::setQuitOnLastWindowClosed(false);
    pontivo::MainWindow window;
    window.Core().SetNetworkGuard(guard);
    if (mqtt.enabled)
        window.Core().EnableMqtt(mqtt);
    window.ShowAtStartup();
    return QApplication::exec();
}

// The entry's type is what the program calls it through.
static_assert(std::is_same_v<decltype(&pontivo_run_desktop), pontivo::DesktopEntry>);
