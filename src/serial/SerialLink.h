#pragma once

#include "serial/DeviceResolver.h"
#include "serial/BoardReader.h"
#include "serial/PortChoice.h"
#include "serial/SerialPortControl.h"

#include <QObject>
#include <QTimer>

#include <optional>

namespace pontivo {

// The serial ports the system lists now; tests give their own.
using PortLister = std::function<std::vector<PortRecord>()>;

// Intervals of the serial side; tests shrink them.
struct SerialTimings {
    int pollMs = 100;   // reads of the board
    int watchMs = 5000; // checks that an open device is still there
    int retryMs = 1000; // reopening while the port fails
};

// Opens the board's port when the server starts, applies its frames to the store, and
// while the port cannot be opened shows the cross and tries again every second. A USB board
// it has opened is followed when it comes back under another device name.
class SerialLink : public QObject {
    Q_OBJECT

public:
    explicit SerialLink(FrameReader::Sink frameSink, QObject* parent = nullptr);

    void SetTimings(const SerialTimings& timings);
    void SetResolver(DeviceResolver resolver) { m_resolver = std::move(resolver); }
    void SetPortLister(PortLister lister) { m_lister = std::move(lister); }
    void SetServerRunning(bool running) { m_serverRunning = running; }
    void SetFormat(FrameFormat format) { m_frames.SetFormat(format); }

    // Opens the port with these texts; on failure shows the cross and arms the retry.
    void Open(const QString& comPort, const QString& comSettings);
    // Closes the port and stops polling, retries and the cross.
    void Stop();

    SerialPortControl& Port() { return m_port; }
    const SerialPortControl& Port() const { return m_port; }
    bool Polling() const { return m_pollTimer.isActive(); }
    bool Retrying() const { return m_retryTimer.isActive(); }
    bool CrossShown() const { return m_crossShown; }
    const BoardReader& Frames() const { return m_frames; }

signals:
    void crossChanged(bool shown);
    void boardRead(); // a successful read of the port, also an empty one
    void portOpened(const QString& device);
    void portFailed(const QString& device, const QString& reason); // could not be opened
    void portLost(const QString& device, const QString& reason);   // was open and stopped working

private:
    bool TryOpen(QString& device, QString& reason);
    QString FollowBoard() const;
    void RememberBoard(const QString& device);
    void Fail(const QString& device, const QString& reason);
    void SetCross(bool shown);
    void ReadPending();
    void OnPortFailed(const QString& reason);
    void Poll();
    void WatchPort();

    SerialPortControl m_port;
    BoardReader m_frames;
    FrameReader::Sink m_frameSink;
    DeviceResolver m_resolver;
    PortLister m_lister;
    std::optional<BoardIdentity> m_board; // the USB board last opened, while the texts stay the same
    QTimer m_pollTimer;
    QTimer m_watchTimer;
    QTimer m_retryTimer;
    QString m_comPort;
    QString m_comSettings;
    bool m_serverRunning = false;
    bool m_crossShown = false;
};

} // namespace pontivo
