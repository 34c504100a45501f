#include "TrayIcon.h"

#include <QCursor>

namespace pontivo {

TrayIcon::TrayIcon(const QIcon& icon, const QString& tip, std::function<bool()> available, QObject* parent)
    : QObject(parent)
    , m_icon(icon)
    , m_available(std::move(available))
{
    m_icon.setToolTip(tip);
    connect(&m_icon, &QSystemTrayIcon::activated, this, &TrayIcon::OnActivated);
}

void TrayIcon::Add()
{
    m_icon.show();
}

void TrayIcon::Remove()
{
    m_icon.hide();
}

void TrayIcon::OnActivated(QSystemTrayIcon::ActivationReason reason)
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
