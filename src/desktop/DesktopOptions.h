#pragma once

#include <QString>

#include <functional>

namespace pontivo {

// Hands the URL to the desktop's URL handler; the result is not examined.
void openUrlWithShell(const QString& url);
// Notepad on Windows, the desktop's handler for text files elsewhere; false when none started.
bool openTextFileWithEditor(const QString& path);
// Leaves every event loop at once; sockets and the port go with the process.
void endProgramNow();
bool systemTrayAvailable();
// The build's web site address (PONTIVO_WEBSITE).
QString defaultWebSiteAddress();

// What the window asks of the desktop and how fast its arrows go out. Tests replace the
// functions to see what would be opened without a browser, an editor or a tray.
struct DesktopOptions {
    int arrowMs = 3000; // the period of the timers that put lit arrows out
    QString webSiteAddress = defaultWebSiteAddress();
    std::function<void(const QString& url)> openUrl = openUrlWithShell;
    std::function<bool(const QString& path)> openTextFile = openTextFileWithEditor;
    std::function<void()> endProgram = endProgramNow;
    std::function<bool()> trayAvailable = systemTrayAvailable;
};

} // namespace pontivo
