#pragma once

#include "desktop/DesktopOptions.h"
#include "server/ServerCore.h"
#include "desktop/TrayIcon.h"

#include <QMainWindow>
#include <QTimer>

#include <array>

class QAction;
class QDialog;
class QMenu;

namespace pontivo {

class LineShape;
class ShortcutLinks;
class SvgPicture;
class HttpSettingsDialog;
class SerialSettingsDialog;

// The main window: the diagram of client, server and board with its traffic arrows and
// cross, the menus that start and stop the server, and the tray icon it hides into.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(DesktopOptions options = {}, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Shows the window, adds the tray icon and keeps the window on top.
    void showAtStartup();

    ServerCore& core() { return m_core; }
    TrayIcon& tray() { return m_tray; }

protected:
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private slots:
    void toggleServer();
    void exitProgram();
    void restoreFromTray();
    void popUpTrayMenu(const QPoint& globalPos);
    void showCross(bool show);
    void configureHttp();
    void configureSerial();
    void openWebSite();
    void clearCache();
    void viewCache();
    void warn(const QString& message);

private:
    void buildDiagram();
    void buildMenus();
    QAction* addItem(QMenu* menu, const char* name, const QString& text, void (MainWindow::*slot)());
    void connectIndicators();
    void setStaysOnTop(bool on);
    // A window kept on top would hide the dialog.
    void execSettings(QDialog* dialog);

    DesktopOptions m_options;
    ServerCore m_core;
    TrayIcon m_tray;
    std::array<QTimer, 4> m_arrowTimers;
    std::array<SvgPicture*, 4> m_arrows{};
    std::array<LineShape*, 2> m_crossLines{};
    ShortcutLinks* m_links = nullptr;
    QMenu* m_trayMenu = nullptr;
    QMenu* m_configureMenu = nullptr;
    QAction* m_trayStartAction = nullptr;
    QAction* m_startAction = nullptr;
    HttpSettingsDialog* m_httpDialog = nullptr;
    SerialSettingsDialog* m_serialDialog = nullptr;
};

} // namespace pontivo
