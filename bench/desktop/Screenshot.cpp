// Shows the window as a user sees it while the server runs and a request has just passed,
// and saves what the display holds of it. Run under Xvfb by screenshot.sh.
#include "desktop/MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QScreen>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <cstdio>

int main(int argc, char* argv[])
{
    using namespace pontivo;
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: pontivo-screenshot OUT.png [BOARD-DEVICE]\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    DesktopOptions options;
    options.openUrl = [](const QString&) {};
    options.endProgram = [] {};
    MainWindow window(options);

    ServerSettings settings = window.core().Settings();
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    settings.httpPort = QString::number(probe.serverPort());
    probe.close();
    if (argc > 2)
        settings.comPort = QString::fromLocal8Bit(argv[2]);
    window.core().SetSettings(settings);
    window.showAtStartup();
    window.findChild<QAction*>(QStringLiteral("startAction"))->trigger();

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, window.core().ListeningPort());
    QObject::connect(&client, &QTcpSocket::connected, &client,
                     [&client] { client.write("GET /set/led/on HTTP/1.1\r\n\r\n"); });
    int status = 1;
    // Well inside the arrows' first 3 s, so every lit arrow still shows.
    QTimer::singleShot(600, &window, [&] {
        const QPixmap shot = window.screen()->grabWindow(window.winId());
        status = shot.save(out) ? 0 : 1;
        QApplication::exit(status);
    });
    QApplication::exec();
    return status;
}
