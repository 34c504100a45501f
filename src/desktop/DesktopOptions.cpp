#include "DesktopOptions.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QProcess>
#include <QSystemTrayIcon>
#include <QUrl>

namespace pontivo {

void OpenUrlWithShell(const QString& url)
{
    QDesktopServices::openUrl(QUrl(url));
}

bool OpenTextFileWithEditor(const QString& path)
{
#ifdef Q_OS_WIN
    return QProcess::startDetached(QStringLiteral("notepad.exe"), {QDir::toNativeSeparators(path)});
#else
    return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
#endif
}

void EndProgramNow()
{
    QCoreApplication::exit(0);
}

bool SystemTrayAvailable()
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

QString DefaultWebSiteAddress()
{
    return QStringLiteral(PONTIVO_WEBSITE);
}

} // namespace pontivo
