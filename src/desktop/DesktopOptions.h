#pragma once

#include <QString>

#include <functional>

namespace pontivo {

// Hands the URL to the desktop's URL handler; the result is not examined.
void OpenUrlWithShell(const QString& url);
// Notepad on Windows, the desktop's handler for text files elsewhere; false when none started.
bool OpenTextFileWithEditor(const QString& path);
// Leaves every event loop at once; sockets and the port go with the process.
void EndProgramNow();
bool SystemTrayAvailable();
// The build's web site address (PONTIVO_WEBSITE).
QString DefaultWebSiteAddress();

// What the window asks of the desktop and how fast its arrows go out. Tests replace the
// functions to see what would be opened without a browser, an editor or a tray.
struct DesktopOptions {
    int arrowMs = 3000; // TmrArrow
    QString webSiteAddress = DefaultWebSiteAddress();
    std::function<void(const QString& url)> OpenUrl = OpenUrlWithShell;
    std::function<bool(const QString& path)> OpenTextFile = OpenTextFileWithEditor;
    std::function<void()> EndProgram = EndProgramNow;
    std::function<bool()> TrayAvailable = SystemTrayAvailable;
};

} // namespace pontivo
