#pragma once

#include "MqttOptions.h"
#include "NetworkGuard.h"

namespace pontivo {

// The window's module: built as pontivo-desktop beside the program and loaded only when a
// window is wanted. Its entry runs the window until the user exits and returns the exit status.
inline constexpr const char* kDesktopModule = "pontivo-desktop";
inline constexpr const char* kDesktopEntry = "pontivo_run_desktop";
using DesktopEntry = int (*)(int& argc, char** argv, const NetworkGuard& guard, const MqttOptions& mqtt);

} // namespace pontivo
