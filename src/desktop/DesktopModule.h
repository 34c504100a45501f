#pragma once

#include "server/WindowModule.h"

#include <QObject>

namespace pontivo {

// The window module's root object: made before any application object exists, it only makes one
// when run.
class DesktopModule : public QObject, public WindowModule {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID PONTIVO_WINDOW_MODULE_IID)
    Q_INTERFACES(pontivo::WindowModule)

public:
    int Run(int& argc, char** argv, const ServerOptions& options) override;
};

} // namespace pontivo
