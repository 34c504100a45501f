#include "desktop/DesktopModule.h"

#include "desktop/MainWindow.h"

#include <QApplication>

#include <cstdio>

namespace pontivo {

int DesktopModule::Run(int& argc, char** argv, const ServerOptions& options)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Pontivo"));
    // The program ends only through Exit or the window's close box, not when a message box
    // closes while the window sits in the tray.
    QApplication::setQuitOnLastWindowClosed(false);
    MainWindow window;
    // A broker that cannot be reached is shown in the tray tip, not fatal.
    QObject::connect(&window.core(), &ServerCore::notice, &window, [](const QString& text) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(ServerCore::Caption()), qPrintable(text));
    });
    window.core().ApplyOptions(options);
    window.showAtStartup();
    return QApplication::exec();
}

} // namespace pontivo
