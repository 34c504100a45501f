#include "desktop/DesktopOptions.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QProcess>
#include <QSystemTrayIcon>
#include <QUrl>

namespace pontivo {

void openUrlWithShell(const QString& url)
{
    QDesktopServices::openUrl(QUrl(url));
}

bool openTextFileWithEditor(const QString& path)
{
#ifdef Q_OS_WIN
    return QProcess::startDetached(QStringLiteral("notepad.exe"), {QDir::toNativeSeparators(path)});
#else
    return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
#endif
}

void endProgramNow()
{
    QCoreApplication::exit(0);
}

bool systemTrayAvailable()
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

QString defaultWebSiteAddress()
{
    return QStringLiteral(PONTIVO_WEBSITE);
}

} // namespace pontivo
