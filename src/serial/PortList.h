#pragma once

#include "serial/PortChoice.h"

#include <QString>

#include <vector>

namespace pontivo {

// The serial ports the system knows, in natural order of their device names, each with its
// stable link from `byIdFolder` where one points at it.
std::vector<PortRecord> AvailablePorts(const QString& byIdFolder = QStringLiteral("/dev/serial/by-id"));

// Whether a device node is there now; what the COM mapping asks.
bool DeviceExists(const std::string& path);

} // namespace pontivo
