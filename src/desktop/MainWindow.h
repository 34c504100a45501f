#pragma once

#include "DesktopOptions.h"
#include "ServerCore.h"
#include "TrayIcon.h"

#include <QMainWindow>
#include <QTimer>

#include <array>

class QAction;
class QLabel;
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
    void ShowAtStartup();

    ServerCore& Core() { return m_core; }
    TrayIcon& Tray() { return m_tray; }

    void SetToTop();
    void SetToNormal();
    void ardCross(bool show);

protected:
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildPicture();
    void BuildMenus();
    QAction* AddItem(QMenu* menu, const char* name, const QString& caption, void (MainWindow::*handler)());
    void ConnectIndicators();
    void SetTopmost(bool on);

    void mnuStart_Click();
    void mnuStart2_Click();
    void mnuExit_Click();
    void mPopExit_Click();
    void mPopRestore_Click();
    void mnuView_Click();
    void mnuViewCache_Click();
    void mnuClear_Click();
    void mnuHTTP_Click();
    void mnuSerial_Click();
    void mnuWebsite_Click();
    void mPopupSys_Popup(const QPoint& globalPos);
    void TmrArrow_Timer(int index);
    void Form_Unload();
    void Warn(const QString& message);

    DesktopOptions m_options;
    ServerCore m_core;
    TrayIcon m_tray;
    std::array<QTimer, 4> m_TmrArrow;
    std::array<SvgPicture*, 4> m_ImgArrow{};
    std::array<LineShape*, 2> m_ardCrossLine{};
    ShortcutLinks* m_picActive = nullptr;
    QMenu* m_mPopupSys = nullptr;
    QMenu* m_mnuConfigure = nullptr;
    QAction* m_mnuStart = nullptr;
    QAction* m_mnuStart2 = nullptr;
    HttpSettingsDialog* m_httpDialog = nullptr;
    SerialSettingsDialog* m_serialDialog = nullptr;
};

} // namespace pontivo
