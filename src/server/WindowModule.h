#pragma once

#include "server/ServerOptions.h"

#include <QtPlugin>

namespace pontivo {

// The window's module (pontivo-desktop beside the program), loaded only when a window is wanted, so
// that a headless server maps no widget library. Its root object is a plain factory: it exists before
// any application object, which Run creates.
class WindowModule {
public:
    virtual ~WindowModule() = default;
    // Runs the window until the user exits; returns the exit status.
    virtual int Run(int& argc, char** argv, const ServerOptions& options) = 0;
};

inline constexpr const char* kWindowModuleFile = "pontivo-desktop";

} // namespace pontivo

// The version after the slash changes with every change above: another one is refused when loading.
#define PONTIVO_WINDOW_MODULE_IID "org.pontivo.WindowModule/2"
Q_DECLARE_INTERFACE(pontivo::WindowModule, PONTIVO_WINDOW_MODULE_IID)
