#include "serial/SerialPortControl.h"

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace pontivo {
namespace {

// Some twenty minutes of lines at 9600 baud.
constexpr qint64 kMaxQueuedBytes = 1024 * 1024;

QSerialPort::Parity ToQt(LineSettings::Parity parity)
{
    switch (parity) {
    case LineSettings::Parity::Even:
        return QSerialPort::EvenParity;
    case LineSettings::Parity::Odd:
        return QSerialPort::OddParity;
    case LineSettings::Parity::Mark:
        return QSerialPort::MarkParity;
    case LineSettings::Parity::Space:
        return QSerialPort::SpaceParity;
    case LineSettings::Parity::None:
        break;
    }
    return QSerialPort::NoParity;
}

QSerialPort::StopBits ToQt(LineSettings::StopBits stopBits)
{
    switch (stopBits) {
    case LineSettings::StopBits::OneAndHalf:
        return QSerialPort::OneAndHalfStop;
    case LineSettings::StopBits::Two:
        return QSerialPort::TwoStop;
    case LineSettings::StopBits::One:
        break;
    }
    return QSerialPort::OneStop;
}

// Boards that reset on DTR would restart every time the port is closed and reopened
// if the line dropped on close.
void KeepModemLinesOnClose([[maybe_unused]] qintptr handle)
{
#ifdef Q_OS_UNIX
    termios attributes{};
    const int descriptor = static_cast<int>(handle);
    if (::tcgetattr(descriptor, &attributes) == 0) {
        attributes.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
        if (::tcsetattr(descriptor, TCSANOW, &attributes) == 0)
            return;
    }
    // The port still works; only a board that resets on DTR may restart when it is closed.
    qWarning("the serial port's modem lines may drop when it is closed: %s", std::strerror(errno));
#endif
}

bool OutOfDescriptors()
{
#ifdef Q_OS_UNIX
    const int probe = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (probe >= 0) {
        ::close(probe);
        return false;
    }
    return errno == EMFILE || errno == ENFILE;
#else
    return false;
#endif
}

} // namespace

SerialPortControl::SerialPortControl(QObject* parent)
    : QObject(parent)
{
    connect(&m_port, &QSerialPort::readyRead, this, &SerialPortControl::dataArrived);
    connect(&m_port, &QSerialPort::errorOccurred, this, &SerialPortControl::OnError);
}

bool SerialPortControl::SetSettings(const std::string& text, QString& error)
{
    const LineSettingsResult parsed = ParseLineSettings(text);
    if (!parsed.settings) {
        error = QString::fromStdString(parsed.error);
        return false;
    }
    m_lineSettings = *parsed.settings;
    return true;
}

bool SerialPortControl::Open(const QString& device, QString& error)
{
    if (m_port.isOpen())
        return true;
    m_port.setPortName(device);
    m_device = device;
    if (!m_port.open(QIODevice::ReadWrite)) {
        // Out of descriptors, the port's lock file fails first, which it calls a permission error.
        error = OutOfDescriptors() ? QStringLiteral("no file descriptor is free (too many open files)")
                                   : m_port.errorString();
        return false;
    }
    if (!ApplySettings()) {
        error = QStringLiteral("the port does not take these line settings (%1)").arg(m_port.errorString());
        m_port.close();
        return false;
    }
    KeepModemLinesOnClose(m_port.handle());
    return true;
}

bool SerialPortControl::ApplySettings()
{
    return m_port.setBaudRate(m_lineSettings.baudRate) && m_port.setParity(ToQt(m_lineSettings.parity))
        && m_port.setDataBits(static_cast<QSerialPort::DataBits>(m_lineSettings.dataBits))
        && m_port.setStopBits(ToQt(m_lineSettings.stopBits));
}

void SerialPortControl::Close()
{
    if (m_port.isOpen())
        m_port.close();
    m_port.clearError();
}

std::optional<QByteArray> SerialPortControl::Input()
{
    if (!m_port.isOpen())
        return std::nullopt;
    return m_port.readAll();
}

bool SerialPortControl::Output(std::string_view text)
{
    if (!m_port.isOpen())
        return false;
    // A board that has stopped reading must not make the queue grow without end; reopening
    // the port lets go of what waits.
    if (m_port.bytesToWrite() + static_cast<qint64>(text.size()) > kMaxQueuedBytes) {
        emit failed(QStringLiteral("the board has stopped reading (%1 KiB of lines waiting)")
                        .arg(m_port.bytesToWrite() / 1024));
        return false;
    }
    const qint64 written = m_port.write(text.data(), static_cast<qint64>(text.size()));
    if (written != static_cast<qint64>(text.size())) {
        emit failed(QStringLiteral("writing to the port failed (%1)").arg(m_port.errorString()));
        return false;
    }
    // Queued in order and written as the device takes them. Forcing the write now (flush)
    // would fail with EAGAIN while a slow board's queue is full, which the port reports as
    // a lost device.
    return true;
}

void SerialPortControl::OnError(QSerialPort::SerialPortError error)
{
    // Errors of a failed open are reported by Open itself.
    if (!m_port.isOpen())
        return;
    switch (error) {
    case QSerialPort::ResourceError:
        // The port's own error text may be left over from an earlier call; this is what happened.
        emit failed(QStringLiteral("the device stopped responding (unplugged?)"));
        break;
    case QSerialPort::ReadError:
        // Also a hang-up (the read gave nothing), whose error text is an older call's.
        emit failed(QStringLiteral("reading from the device failed (unplugged?)"));
        break;
    case QSerialPort::WriteError:
        emit failed(QStringLiteral("writing to the device failed (unplugged?)"));
        break;
    case QSerialPort::DeviceNotFoundError:
    case QSerialPort::PermissionError:
    case QSerialPort::UnknownError:
        emit failed(m_port.errorString());
        break;
    default:
        break;
    }
}

} // namespace pontivo
