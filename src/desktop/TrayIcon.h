#pragma once

#include <QObject>
#include <QSystemTrayIcon>

#include <functional>

namespace pontivo {

// The notification-area icon. It turns the platform's clicks into what the user asked
// for, so the window never decodes tray messages itself.
class TrayIcon : public QObject {
    Q_OBJECT

public:
    TrayIcon(const QIcon& icon, const QString& tip, std::function<bool()> available, QObject* parent = nullptr);

    void add();
    void remove();
    bool isAdded() const { return m_icon.isVisible(); }
    // Whether the desktop has a tray to bring a hidden window back from.
    bool isAvailable() const { return m_available(); }
    QString toolTip() const { return m_icon.toolTip(); }
    void setToolTip(const QString& tip) { m_icon.setToolTip(tip); }

signals:
    void restoreRequested();                    // left click or double click
    void menuRequested(const QPoint& globalPos); // right click

private slots:
    void onActivated(QSystemTrayIcon::ActivationReason reason);

private:
    QSystemTrayIcon m_icon;
    std::function<bool()> m_available;
};

} // namespace pontivo
