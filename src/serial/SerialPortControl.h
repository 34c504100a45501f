#pragma once

#include "serial/LineSettings.h"
#include "store/SerialOutput.h"

#include <QSerialPort>

#include <cstdint>
#include <optional>
#include <string>

namespace pontivo {

// The board's port: the number and line settings written before opening, opening and
// closing, reading what came and writing lines.
class SerialPortControl : public QObject, public SerialOutput {
    Q_OBJECT

public:
    explicit SerialPortControl(QObject* parent = nullptr);

    std::int16_t CommPort() const { return m_commPort; }
    void SetCommPort(std::int16_t port) { m_commPort = port; }
    // False, with the reason, for a text the port cannot take.
    bool SetSettings(const std::string& text, QString& error);

    // Opens the device exclusively with the current settings; false with the reason.
    bool Open(const QString& device, QString& error);
    void Close();
    // The device as it was opened; the port's own name drops a leading "/dev/".
    QString Device() const { return m_device; }

    bool PortOpen() const override { return m_port.isOpen(); }
    // Everything received and not yet read; nothing when the port is closed.
    std::optional<QByteArray> Input();
    bool Output(std::string_view text) override;

signals:
    void dataArrived();
    // The open port stopped working (device gone, I/O error).
    void failed(const QString& reason);

private:
    bool ApplySettings();
    void OnError(QSerialPort::SerialPortError error);

    QSerialPort m_port;
    QString m_device;
    std::int16_t m_commPort = 0;
    LineSettings m_lineSettings;
};

} // namespace pontivo
