#pragma once

#include "server/ServerCore.h"

#include <QObject>

class QSocketNotifier;

namespace pontivo {

// Runs the server without window or tray: starts at once, says on standard error what
// the window would show, and stops cleanly on SIGINT or SIGTERM.
class HeadlessRunner : public QObject {
    Q_OBJECT

public:
    explicit HeadlessRunner(const ServerSettings& settings, const ServerOptions& options = {},
                            QObject* parent = nullptr);
    // Returns the process exit status.
    int Run();

private:
    void WatchStopSignals();
    void OnStopSignal();

    ServerCore m_core;
    QSocketNotifier* m_stopNotifier = nullptr;
    int m_exitStatus = 0;
    bool m_serialFailing = false;
};

} // namespace pontivo
