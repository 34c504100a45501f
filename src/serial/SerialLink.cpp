#include "serial/SerialLink.h"

#include "serial/LeadingNumber.h"
#include "serial/PortList.h"

#include <QFileInfo>

namespace pontivo {

SerialLink::SerialLink(FrameReader::Sink frameSink, QObject* parent)
    : QObject(parent)
    , m_frameSink(std::move(frameSink))
    , m_resolver([](const QString& text) { return ResolveSerialDevice(text); })
    , m_lister([] { return AvailablePorts(); })
{
    connect(&m_port, &SerialPortControl::dataArrived, this, &SerialLink::ReadPending);
    connect(&m_port, &SerialPortControl::failed, this, &SerialLink::OnPortFailed);
    connect(&m_pollTimer, &QTimer::timeout, this, &SerialLink::Poll);
    connect(&m_watchTimer, &QTimer::timeout, this, &SerialLink::WatchPort);
    connect(&m_retryTimer, &QTimer::timeout, this, [this] { Open(m_comPort, m_comSettings); });
    SetTimings({});
    m_watchTimer.start();
}

void SerialLink::SetTimings(const SerialTimings& timings)
{
    m_pollTimer.setInterval(timings.pollMs);
    m_watchTimer.setInterval(timings.watchMs);
    m_retryTimer.setInterval(timings.retryMs);
}

void SerialLink::Open(const QString& comPort, const QString& comSettings)
{
    if (comPort != m_comPort)
        m_board.reset();
    m_comPort = comPort;
    m_comSettings = comSettings;
    QString device;
    QString reason;
    if (!TryOpen(device, reason)) {
        Fail(device, reason);
        return;
    }
    m_pollTimer.start();
    m_retryTimer.stop();
    SetCross(false);
    emit portOpened(device);
}

bool SerialLink::TryOpen(QString& device, QString& reason)
{
    if (!m_port.SetSettings(m_comSettings.toStdString(), reason))
        return false;
    const auto number = CommPortFromText(m_comPort.toStdString());
    if (!number) {
        reason = QStringLiteral("the COM port \"%1\" is out of range").arg(m_comPort);
        return false;
    }
    m_port.SetCommPort(*number);
    if (m_port.PortOpen()) {
        device = m_port.Device();
        return true;
    }
    device = FollowBoard();
    if (device.isEmpty()) {
        const DeviceResolution resolution = m_resolver(m_comPort);
        device = resolution.device;
        reason = resolution.error;
    }
    if (device.isEmpty() || !m_port.Open(device, reason)) {
        if (!IsAutoPort(m_comPort) && (device.isEmpty() || !QFileInfo::exists(device)))
            reason += QString::fromStdString(BoardsPresentHint(m_lister()));
        return false;
    }
    m_frames.Reset();
    RememberBoard(device);
    return true;
}

// The board opened before, wherever the system lists it now; empty when it is not there.
QString SerialLink::FollowBoard() const
{
    if (!m_board)
        return {};
    const std::vector<PortRecord> ports = m_lister();
    const PortRecord* port = FindBoard(ports, *m_board);
    return port ? QString::fromStdString(port->device) : QString();
}

void SerialLink::RememberBoard(const QString& device)
{
    const std::vector<PortRecord> ports = m_lister();
    const QString canonical = QFileInfo(device).canonicalFilePath();
    const PortRecord* port = FindDevice(ports, (canonical.isEmpty() ? device : canonical).toStdString());
    m_board = port ? IdentityOf(*port) : std::nullopt;
}

void SerialLink::Fail(const QString& device, const QString& reason)
{
    SetCross(true);
    m_retryTimer.start();
    emit portFailed(device, reason);
}

void SerialLink::Stop()
{
    m_port.Close();
    m_pollTimer.stop();
    SetCross(false);
    m_retryTimer.stop();
    m_frames.Reset();
    m_board.reset();
}

void SerialLink::SetCross(bool shown)
{
    if (m_crossShown == shown)
        return;
    m_crossShown = shown;
    emit crossChanged(shown);
}

void SerialLink::ReadPending()
{
    const auto chunk = m_port.Input();
    if (!chunk)
        return;
    emit boardRead();
    m_frames.Feed(std::string_view(chunk->constData(), static_cast<std::size_t>(chunk->size())), m_frameSink);
}

void SerialLink::OnPortFailed(const QString& reason)
{
    // A failed port is closed at once; retrying reopens it when the board is back.
    const QString device = m_port.Device();
    m_port.Close();
    m_frames.Reset();
    if (!m_serverRunning)
        return;
    SetCross(true);
    m_retryTimer.start();
    emit portLost(device, reason);
}

void SerialLink::Poll()
{
    if (m_serverRunning)
        ReadPending();
}

void SerialLink::WatchPort()
{
    if (!m_serverRunning || !m_port.PortOpen())
        return;
    // A healthy port is left alone; one whose device has vanished without an error is not.
    const QString device = m_port.Device();
    if (device.startsWith(QLatin1Char('/')) && !QFileInfo::exists(device))
        OnPortFailed(QStringLiteral("the device is gone"));
}

} // namespace pontivo
