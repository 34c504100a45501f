#include "DesktopModule.h"

#include "MainWindow.h"

#include <QApplication>

namespace pontivo {

int DesktopModule::Run(int& argc, char** argv, const NetworkGuard& guard, const MqttOptions& mqtt)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Pontivo"));
    // The program ends only through Exit or the window's close box, not when a message box
    // closes while the window sits in the tray.
    QApplication::setQuitOnLastWindowClosed(false);
    MainWindow window;
    window.core().SetNetworkGuard(guard);
    if (mqtt.enabled)
        window.core().EnableMqtt(mqtt);
    window.showAtStartup();
    return QApplication::exec();
}

} // namespace pontivo
