#pragma once

#include <QString>

#include <functional>

namespace pontivo {

struct DeviceResolution {
    QString device; // empty when none could be named
    QString error;
};

// Which device a COM port text stands for on this machine: "COMn" on Windows; elsewhere
// the first existing /dev/ttyACM{n-1}, /dev/ttyUSB{n-1}, /dev/ttyS{n-1}, so COM1 is the
// first USB board whichever driver it uses. A text starting with "/" is a device path;
// "auto" is the first USB serial port the system lists.
DeviceResolution ResolveSerialDevice(const QString& comPortText, const QString& deviceFolder = QStringLiteral("/dev"));

bool IsAutoPort(const QString& comPortText);

using DeviceResolver = std::function<DeviceResolution(const QString& comPortText)>;

} // namespace pontivo
