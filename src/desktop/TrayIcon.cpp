#include "desktop/TrayIcon.h"

#include <QCursor>

namespace pontivo {

TrayIcon::TrayIcon(const QIcon& icon, const QString& tip, std::function<bool()> available, QObject* parent)
    : QObject(parent)
    , m_icon(icon)
    , m_available(std::move(available))
{
    m_icon.setToolTip(tip);
    connect(&m_icon, &QSystemTrayIcon::activated, this, &TrayIcon::onActivated);
}

void TrayIcon::add()
{
    m_icon.show();
}

void TrayIcon::remove()
{
    m_icon.hide();
}

void TrayIcon::onActivated(QSystemTrayIcon::ActivationReason reason)
{
    switch (reason) {
    case QSystemTrayIcon::Trigger:
    case QSystemTrayIcon::DoubleClick:
        emit restoreRequested();
        break;
    case QSystemTrayIcon::Context:
        emit menuRequested(QCursor::pos());
        break;
    default:
        break;
    }
}

} // namespace pontivo
