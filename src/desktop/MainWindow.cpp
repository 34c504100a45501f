#include "desktop/MainWindow.h"

#include "desktop/CacheDumpFile.h"
#include "desktop/HttpSettingsDialog.h"
#include "desktop/LineShape.h"
#include "desktop/SerialSettingsDialog.h"
#include "desktop/ShortcutLinks.h"
#include "desktop/SvgPicture.h"
#include "desktop/Twips.h"

#include <QCloseEvent>
#include <QDir>
#include <QLabel>
#include <QLayout>
#include <QMenuBar>
#include <QMessageBox>
#include <QUrl>
#include <QWindow>

namespace pontivo {
namespace {

const QString kArrowRight = QStringLiteral(":/art/arrow-right.svg");
const QString kArrowLeft = QStringLiteral(":/art/arrow-left.svg");
const QColor kRed(255, 0, 0);

QLabel* addLabel(QWidget* parent, const char* name, const QString& text, QPoint twips, const QColor& colour)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
    label->move(px(twips.x()), px(twips.y()));
    label->adjustSize();
    return label;
}

SvgPicture* addPicture(QWidget* parent, const char* name, const QString& resource, QRect twips)
{
    auto* picture = new SvgPicture(resource, parent);
    picture->setObjectName(QString::fromLatin1(name));
    picture->setGeometry(twipRect(twips.x(), twips.y(), twips.width(), twips.height()));
    return picture;
}

// The host with an access key on its first letter that Start and Exit, beside it in the
// Server menu, do not use: the address is a build option.
QString webSiteText(const QString& host)
{
    for (qsizetype i = 0; i < host.size(); ++i) {
        if (host.at(i).isLetterOrNumber() && !QStringLiteral("SE").contains(host.at(i).toUpper()))
            return host.left(i) + QLatin1Char('&') + host.mid(i);
    }
    return host;
}

} // namespace

MainWindow::MainWindow(DesktopOptions options, QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                              Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                              Qt::MSWindowsFixedSizeDialogHint)
    , m_options(std::move(options))
    , m_tray(svgIcon(QStringLiteral(":/art/icon.svg")), tr("Your ToolTip"), m_options.trayAvailable)
{
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(ServerCore::Caption());
    setWindowIcon(svgIcon(QStringLiteral(":/art/icon.svg")));
    buildMenus();
    buildDiagram();
    connectIndicators();
    layout()->setSizeConstraint(QLayout::SetFixedSize);

    // The dialogs live hidden from here on, so a confirmed text is there the next time.
    m_serialDialog = new SerialSettingsDialog(this);
    m_httpDialog = new HttpSettingsDialog(this);
    m_core.SetSettings({m_httpDialog->port(), m_serialDialog->port(), m_serialDialog->lineSettings()});

    connect(&m_core, &ServerCore::startWarning, this, &MainWindow::warn);
    const QString tip = m_tray.toolTip();
    connect(&m_core, &ServerCore::mqttStateChanged, this, [this, tip](const QString& text) {
        m_tray.setToolTip(tip + QLatin1Char('\n') + text);
    });
    connect(&m_tray, &TrayIcon::restoreRequested, this, &MainWindow::restoreFromTray);
    connect(&m_tray, &TrayIcon::menuRequested, this, &MainWindow::popUpTrayMenu);
}

MainWindow::~MainWindow() = default;

void MainWindow::showAtStartup()
{
    show();
    m_tray.add();
    setStaysOnTop(true);
}

void MainWindow::buildDiagram()
{
    auto* client = new QWidget(this);
    client->setFixedSize(px(5415), px(2445));
    setCentralWidget(client);

    auto* diagram = new QWidget(client);
    diagram->setObjectName(QStringLiteral("diagram"));
    diagram->setGeometry(twipRect(120, 120, 5175, 2175));
    diagram->setAutoFillBackground(true);
    QPalette white = diagram->palette();
    white.setColor(QPalette::Window, Qt::white);
    white.setColor(QPalette::WindowText, Qt::black);
    diagram->setPalette(white);

    addPicture(diagram, "clientPicture", QStringLiteral(":/art/client.svg"), {360, 360, 885, 780});
    addLabel(diagram, "clientLabel", tr("Client"), {600, 1320}, Qt::black);
    addPicture(diagram, "serverPicture", QStringLiteral(":/art/logo.svg"), {2280, 360, 570, 825});
    addLabel(diagram, "serverLabel", tr("Pontivo"), {2280, 1320}, Qt::black);
    addPicture(diagram, "boardPicture", QStringLiteral(":/art/board.svg"), {3840, 240, 1215, 855});
    addLabel(diagram, "boardLabel", tr("Arduino"), {4170, 1320}, Qt::black);

    // In the order of ServerCore::arrowLit's index.
    struct Arrow {
        const char* name;
        QPoint twips;
        const QString& resource;
    };
    const std::array<Arrow, 4> arrows{{{"requestArrow", {1440, 360}, kArrowRight},
                                       {"responseArrow", {1440, 840}, kArrowLeft},
                                       {"boardWriteArrow", {3120, 360}, kArrowRight},
                                       {"boardReadArrow", {3120, 840}, kArrowLeft}}};
    for (std::size_t i = 0; i < m_arrows.size(); ++i) {
        const Arrow& arrow = arrows[i];
        m_arrows[i] = addPicture(diagram, arrow.name, arrow.resource, {arrow.twips.x(), arrow.twips.y(), 570, 375});
        m_arrows[i]->hide();
    }
    m_crossLines[0] = new LineShape(twipPoint(4080, 240), twipPoint(4800, 1080), kRed, 5, diagram);
    m_crossLines[1] = new LineShape(twipPoint(4920, 240), twipPoint(4080, 1080), kRed, 5, diagram);
    for (std::size_t i = 0; i < m_crossLines.size(); ++i) {
        m_crossLines[i]->setObjectName(QStringLiteral("crossLine%1").arg(i));
        m_crossLines[i]->hide();
    }
    new LineShape(twipPoint(120, 1680), twipPoint(4920, 1680), QColor(128, 128, 128), 1, diagram);

    addLabel(diagram, "statusLabel", tr("Server not running."), {120, 1800}, kRed);
    m_links = new ShortcutLinks([this] { return m_core.Settings().httpPort; }, m_options.openUrl, diagram);
    m_links->setGeometry(twipRect(120, 1800, 4815, 255));
    m_links->hide();
}

QAction* MainWindow::addItem(QMenu* menu, const char* name, const QString& text, void (MainWindow::*slot)())
{
    QAction* item = menu->addAction(text);
    item->setObjectName(QString::fromLatin1(name));
    connect(item, &QAction::triggered, this, slot);
    return item;
}

void MainWindow::buildMenus()
{
    // The tray's menu sits in the menu bar, hidden, as the first top-level menu. Hidden, it
    // takes no access key: a grabbed Alt+S would clash with Server's.
    m_trayMenu = menuBar()->addMenu(tr("SystemTray"));
    m_trayMenu->setObjectName(QStringLiteral("trayMenu"));
    m_trayStartAction = addItem(m_trayMenu, "trayStartAction", tr("&Start"), &MainWindow::toggleServer);
    addItem(m_trayMenu, "trayViewAction", tr("&View"), &MainWindow::viewCache);
    addItem(m_trayMenu, "restoreAction", tr("&Restore"), &MainWindow::restoreFromTray);
    addItem(m_trayMenu, "trayExitAction", tr("&Exit"), &MainWindow::exitProgram);
    m_trayMenu->setDefaultAction(m_trayStartAction);
    m_trayMenu->menuAction()->setVisible(false);

    QMenu* serverMenu = menuBar()->addMenu(tr("&Server"));
    serverMenu->setObjectName(QStringLiteral("serverMenu"));
    m_startAction = addItem(serverMenu, "startAction", tr("&Start"), &MainWindow::toggleServer);
    addItem(serverMenu, "webSiteAction", webSiteText(QUrl(m_options.webSiteAddress).host()), &MainWindow::openWebSite);
    addItem(serverMenu, "exitAction", tr("&Exit"), &MainWindow::exitProgram);

    m_configureMenu = menuBar()->addMenu(tr("&Configure"));
    m_configureMenu->setObjectName(QStringLiteral("configureMenu"));
    addItem(m_configureMenu, "serialAction", tr("&Serial/COM"), &MainWindow::configureSerial);
    addItem(m_configureMenu, "httpAction", tr("&HTTP/Web Server"), &MainWindow::configureHttp);

    QMenu* cacheMenu = menuBar()->addMenu(tr("Cac&he"));
    cacheMenu->setObjectName(QStringLiteral("cacheMenu"));
    addItem(cacheMenu, "clearCacheAction", tr("&Clear"), &MainWindow::clearCache);
    addItem(cacheMenu, "viewCacheAction", tr("&View"), &MainWindow::viewCache);
}

void MainWindow::connectIndicators()
{
    for (std::size_t i = 0; i < m_arrowTimers.size(); ++i) {
        // Never restarted when an arrow lights: it goes out at its timer's next tick. A
        // coarse timer may tick up to 5% late, past the promised 3 s.
        m_arrowTimers[i].setTimerType(Qt::PreciseTimer);
        m_arrowTimers[i].setInterval(m_options.arrowMs);
        connect(&m_arrowTimers[i], &QTimer::timeout, m_arrows[i], &QWidget::hide);
        m_arrowTimers[i].start();
    }
    connect(&m_core, &ServerCore::arrowLit, this, [this](int index) {
        if (index >= 0 && index < static_cast<int>(m_arrows.size()))
            m_arrows[static_cast<std::size_t>(index)]->show();
    });
    connect(&m_core, &ServerCore::crossChanged, this, &MainWindow::showCross);
}

void MainWindow::showCross(bool shown)
{
    for (LineShape* line : m_crossLines)
        line->setVisible(shown);
}

void MainWindow::toggleServer()
{
    m_core.ChangeState();
    const bool running = m_core.ServerRunning();
    m_trayStartAction->setText(running ? tr("Stop") : tr("Start"));
    m_links->setVisible(running);
    // The settings are read at the next start only.
    m_configureMenu->menuAction()->setEnabled(!running);
    m_startAction->setText(m_trayStartAction->text());
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    event->accept();
    exitProgram();
}

void MainWindow::exitProgram()
{
    m_tray.remove();
    m_options.endProgram();
}

void MainWindow::restoreFromTray()
{
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

void MainWindow::popUpTrayMenu(const QPoint& globalPos)
{
    m_trayMenu->popup(globalPos);
}

void MainWindow::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    // Without a tray a hidden window could never be brought back, so it stays minimised.
    if (event->type() == QEvent::WindowStateChange && isMinimized() && m_tray.isAvailable()) {
        QTimer::singleShot(0, this, [this] {
            if (isMinimized())
                hide();
        });
    }
}

void MainWindow::setStaysOnTop(bool on)
{
    // Only the z-order changes: setWindowFlags() would recreate and hide the native window.
    const Qt::WindowFlags flags = windowFlags().setFlag(Qt::WindowStaysOnTopHint, on);
    overrideWindowFlags(flags);
    if (QWindow* window = windowHandle())
        window->setFlags(flags);
}

void MainWindow::execSettings(QDialog* dialog)
{
    setStaysOnTop(false);
    dialog->exec();
    setStaysOnTop(true);
}

void MainWindow::configureHttp()
{
    execSettings(m_httpDialog);
    ServerSettings settings = m_core.Settings();
    settings.httpPort = m_httpDialog->port();
    m_core.SetSettings(settings);
}

void MainWindow::configureSerial()
{
    execSettings(m_serialDialog);
    ServerSettings settings = m_core.Settings();
    settings.comPort = m_serialDialog->port();
    settings.comSettings = m_serialDialog->lineSettings();
    m_core.SetSettings(settings);
}

void MainWindow::openWebSite()
{
    m_options.openUrl(m_options.webSiteAddress);
}

void MainWindow::clearCache()
{
    m_core.ClearCache();
}

void MainWindow::viewCache()
{
    const CacheDumpWrite dump = writeCacheDump(m_core.CacheDump());
    if (dump.path.isEmpty()) {
        warn(dump.error);
        return;
    }
    if (!m_options.openTextFile(dump.path))
        warn(tr("The cache was written to %1, but no program could be started to show it.")
                 .arg(QDir::toNativeSeparators(dump.path)));
}

void MainWindow::warn(const QString& message)
{
    QMessageBox::warning(this, windowTitle(), message);
}

} // namespace pontivo
