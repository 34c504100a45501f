#include "MainWindow.h"

#include "CacheDumpFile.h"
#include "LineShape.h"
#include "ShortcutLinks.h"
#include "SvgPicture.h"
#include "Twips.h"
#include "HttpSettingsDialog.h"
#include "SerialSettingsDialog.h"

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

const QString kArrowRight = QStringLiteral(":/art/arrow-right.svg"); // R
const QString kArrowLeft = QStringLiteral(":/art/arrow-left.svg");   // L
const QColor kRed(255, 0, 0);

QLabel* AddLabel(QWidget* parent, const char* name, const QString& text, QPoint twips, const QColor& colour)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
    label->move(Px(twips.x()), Px(twips.y()));
    label->adjustSize();
    return label;
}

SvgPicture* AddPicture(QWidget* parent, const char* name, const QString& resource, QRect twips)
{
    auto* picture = new SvgPicture(resource, parent);
    picture->setObjectName(QString::fromLatin1(name));
    picture->setGeometry(TwipRect(twips.x(), twips.y(), twips.width(), twips.height()));
    return picture;
}

// The host with an access key on its first letter that Start and Exit, beside it in the
// Server menu, do not use: the address is a build option.
QString WebsiteCaption(const QString& host)
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
    , m_tray(SvgIcon(QStringLiteral(":/art/icon.svg")), QStringLiteral("Your ToolTip"), m_options.TrayAvailable)
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(ServerCore::Caption());
    setWindowIcon(SvgIcon(QStringLiteral(":/art/icon.svg")));
    BuildMenus();
    BuildPicture();
    ConnectIndicators();
    layout()->setSizeConstraint(QLayout::SetFixedSize);

    // The dialogs live hidden from here on, so a confirmed text is there the next time.
    m_serialDialog = new SerialSettingsDialog(this);
    m_httpDialog = new HttpSettingsDialog(this);
    m_core.SetSettings({m_httpDialog->txtSCKPort(), m_serialDialog->txtCOMPort(), m_serialDialog->txtCOMSettings()});

    connect(&m_core, &ServerCore::startWarning, this, &MainWindow::Warn);
    const QString tip = m_tray.Tip();
    connect(&m_core, &ServerCore::mqttStateChanged, this, [this, tip](const QString& text) {
        m_tray.SetTip(tip + QLatin1Char('\n') + text);
    });
    connect(&m_tray, &TrayIcon::restoreRequested, this, &MainWindow::mPopRestore_Click);
    connect(&m_tray, &TrayIcon::menuRequested, this, &MainWindow::mPopupSys_Popup);
}

MainWindow::~MainWindow() = default;

void MainWindow::ShowAtStartup()
{
    show();
    m_tray.Add();
    SetToTop();
}

void MainWindow::BuildPicture()
{
    auto* client = new QWidget(this);
    client->setFixedSize(Px(5415), Px(2445));
    setCentralWidget(client);

    auto* picture1 = new QWidget(client);
    picture1->setObjectName(QStringLiteral("Picture1"));
    picture1->setGeometry(TwipRect(120, 120, 5175, 2175));
    picture1->setAutoFillBackground(true);
    QPalette white = picture1->palette();
    white.setColor(QPalette::Window, Qt::white);
    white.setColor(QPalette::WindowText, Qt::black);
    picture1->setPalette(white);

    AddPicture(picture1, "Image3", QStringLiteral(":/art/client.svg"), {360, 360, 885, 780});
    AddLabel(picture1, "Label1", QStringLiteral("Client"), {600, 1320}, Qt::black);
    AddPicture(picture1, "ImgPontivo", QStringLiteral(":/art/logo.svg"), {2280, 360, 570, 825});
    AddLabel(picture1, "Label2", QStringLiteral("Pontivo"), {2280, 1320}, Qt::black);
    AddPicture(picture1, "Image2", QStringLiteral(":/art/board.svg"), {3840, 240, 1215, 855});
    AddLabel(picture1, "Label3", QStringLiteral("Arduino"), {4170, 1320}, Qt::black);

    const std::array<QPoint, 4> arrowAt{{{1440, 360}, {1440, 840}, {3120, 360}, {3120, 840}}};
    for (std::size_t i = 0; i < m_ImgArrow.size(); ++i) {
        const QByteArray name = "ImgArrow" + QByteArray::number(static_cast<int>(i));
        m_ImgArrow[i] = AddPicture(picture1, name.constData(), i % 2 == 0 ? kArrowRight : kArrowLeft,
                                   {arrowAt[i].x(), arrowAt[i].y(), 570, 375});
        m_ImgArrow[i]->hide();
    }
    m_ardCrossLine[0] = new LineShape(TwipPoint(4080, 240), TwipPoint(4800, 1080), kRed, 5, picture1);
    m_ardCrossLine[1] = new LineShape(TwipPoint(4920, 240), TwipPoint(4080, 1080), kRed, 5, picture1);
    for (std::size_t i = 0; i < m_ardCrossLine.size(); ++i) {
        m_ardCrossLine[i]->setObjectName(QStringLiteral("ardCrossLine%1").arg(i));
        m_ardCrossLine[i]->hide();
    }
    new LineShape(TwipPoint(120, 1680), TwipPoint(4920, 1680), QColor(128, 128, 128), 1, picture1);

    AddLabel(picture1, "Label4", QStringLiteral("Server not running."), {120, 1800}, kRed);
    m_picActive = new ShortcutLinks([this] { return m_core.Settings().SCKPort; }, m_options.OpenUrl, picture1);
    m_picActive->setGeometry(TwipRect(120, 1800, 4815, 255));
    m_picActive->hide();
}

QAction* MainWindow::AddItem(QMenu* menu, const char* name, const QString& caption, void (MainWindow::*handler)())
{
    QAction* item = menu->addAction(caption);
    item->setObjectName(QString::fromLatin1(name));
    connect(item, &QAction::triggered, this, handler);
    return item;
}

void MainWindow::BuildMenus()
{
    // The tray's menu sits in the menu bar, hidden, as the first top-level menu. Hidden, it
    // takes no access key: a grabbed Alt+S would clash with Server's.
    m_mPopupSys = menuBar()->addMenu(QStringLiteral("SystemTray"));
    m_mPopupSys->setObjectName(QStringLiteral("mPopupSys"));
    m_mnuStart = AddItem(m_mPopupSys, "mnuStart", QStringLiteral("&Start"), &MainWindow::mnuStart_Click);
    AddItem(m_mPopupSys, "mnuView", QStringLiteral("&View"), &MainWindow::mnuView_Click);
    AddItem(m_mPopupSys, "mPopRestore", QStringLiteral("&Restore"), &MainWindow::mPopRestore_Click);
    AddItem(m_mPopupSys, "mPopExit", QStringLiteral("&Exit"), &MainWindow::mPopExit_Click);
    m_mPopupSys->setDefaultAction(m_mnuStart);
    m_mPopupSys->menuAction()->setVisible(false);

    QMenu* mnuServer = menuBar()->addMenu(QStringLiteral("&Server"));
    mnuServer->setObjectName(QStringLiteral("mnuServer"));
    m_mnuStart2 = AddItem(mnuServer, "mnuStart2", QStringLiteral("&Start"), &MainWindow::mnuStart2_Click);
    AddItem(mnuServer, "mnuWebsite", WebsiteCaption(QUrl(m_options.webSiteAddress).host()),
            &MainWindow::mnuWebsite_Click);
    AddItem(mnuServer, "mnuExit", QStringLiteral("&Exit"), &MainWindow::mnuExit_Click);

    m_mnuConfigure = menuBar()->addMenu(QStringLiteral("&Configure"));
    m_mnuConfigure->setObjectName(QStringLiteral("mnuConfigure"));
    AddItem(m_mnuConfigure, "mnuSerial", QStringLiteral("&Serial/COM"), &MainWindow::mnuSerial_Click);
    AddItem(m_mnuConfigure, "mnuHTTP", QStringLiteral("&HTTP/Web Server"), &MainWindow::mnuHTTP_Click);

    QMenu* mnuCache = menuBar()->addMenu(QStringLiteral("Cac&he"));
    mnuCache->setObjectName(QStringLiteral("mnuCache"));
    AddItem(mnuCache, "mnuClear", QStringLiteral("&Clear"), &MainWindow::mnuClear_Click);
    AddItem(mnuCache, "mnuViewCache", QStringLiteral("&View"), &MainWindow::mnuViewCache_Click);
}

void MainWindow::ConnectIndicators()
{
    for (std::size_t i = 0; i < m_TmrArrow.size(); ++i) {
        // Never restarted when an arrow lights: it goes out at its timer's next tick. A
        // coarse timer may tick up to 5% late, past the promised 3 s.
        m_TmrArrow[i].setTimerType(Qt::PreciseTimer);
        m_TmrArrow[i].setInterval(m_options.arrowMs);
        connect(&m_TmrArrow[i], &QTimer::timeout, this, [this, i] { TmrArrow_Timer(static_cast<int>(i)); });
        m_TmrArrow[i].start();
    }
    connect(&m_core, &ServerCore::arrowLit, this, [this](int index) {
        if (index >= 0 && index < static_cast<int>(m_ImgArrow.size()))
            m_ImgArrow[static_cast<std::size_t>(index)]->show();
    });
    connect(&m_core, &ServerCore::crossChanged, this, &MainWindow::ardCross);
}

void MainWindow::TmrArrow_Timer(int index)
{
    m_ImgArrow[static_cast<std::size_t>(index)]->hide();
}

void MainWindow::ardCross(bool show)
{
    for (LineShape* line : m_ardCrossLine)
        line->setVisible(show);
}

void MainWindow::mnuStart_Click()
{
    m_core.ChangeState();
    const bool running = m_core.ServerRunning();
    m_mnuStart->setText(running ? QStringLiteral("Stop") : QStringLiteral("Start"));
    m_picActive->setVisible(running);
    // The settings are read at the next start only.
    m_mnuConfigure->menuAction()->setEnabled(!running);
    m_mnuStart2->setText(m_mnuStart->text());
}

void MainWindow::mnuStart2_Click()
{
    mnuStart_Click();
}

void MainWindow::mnuExit_Click()
{
    mPopExit_Click();
}

void MainWindow::mPopExit_Click()
{
    Form_Unload();
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    event->accept();
    Form_Unload();
}

void MainWindow::Form_Unload()
{
    m_tray.Remove();
    m_options.EndProgram();
}

void MainWindow::mPopRestore_Click()
{
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

void MainWindow::mPopupSys_Popup(const QPoint& globalPos)
{
    m_mPopupSys->popup(globalPos);
}

void MainWindow::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    // Without a tray a hidden window could never be brought back, so it stays minimised.
    if (event->type() == QEvent::WindowStateChange && isMinimized() && m_tray.Available()) {
        QTimer::singleShot(0, this, [this] {
            if (isMinimized())
                hide();
        });
    }
}

void MainWindow::SetToTop()
{
    SetTopmost(true);
}

void MainWindow::SetToNormal()
{
    SetTopmost(false);
}

void MainWindow::SetTopmost(bool on)
{
    // Only the z-order changes: setWindowFlags() would recreate and hide the native window.
    const Qt::WindowFlags flags = windowFlags().setFlag(Qt::WindowStaysOnTopHint, on);
    overrideWindowFlags(flags);
    if (QWindow* window = windowHandle())
        window->setFlags(flags);
}

void MainWindow::mnuHTTP_Click()
{
    SetToNormal();
    m_httpDialog->exec();
    SetToTop();
    ServerSettings settings = m_core.Settings();
    settings.SCKPort = m_httpDialog->txtSCKPort();
    m_core.SetSettings(settings);
}

void MainWindow::mnuSerial_Click()
{
    SetToNormal();
    m_serialDialog->exec();
    SetToTop();
    ServerSettings settings = m_core.Settings();
    settings.COMPort = m_serialDialog->txtCOMPort();
    settings.COMSettings = m_serialDialog->txtCOMSettings();
    m_core.SetSettings(settings);
}

void MainWindow::mnuWebsite_Click()
{
    m_options.OpenUrl(m_options.webSiteAddress);
}

void MainWindow::mnuClear_Click()
{
    m_core.ClearCache();
}

void MainWindow::mnuView_Click()
{
    mnuViewCache_Click();
}

void MainWindow::mnuViewCache_Click()
{
    const CacheDumpWrite dump = WriteCacheDump(m_core.CacheDump());
    if (dump.path.isEmpty()) {
        Warn(dump.error);
        return;
    }
    if (!m_options.OpenTextFile(dump.path))
        Warn(QStringLiteral("The cache was written to %1, but no program could be started to show it.")
                 .arg(QDir::toNativeSeparators(dump.path)));
}

void MainWindow::Warn(const QString& message)
{
    QMessageBox::warning(this, windowTitle(), message);
}

} // namespace pontivo
