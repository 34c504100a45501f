#pragma once

#include "server/BrokerBridge.h"
#include "topics/MqttOptions.h"

#include <QtPlugin>

#include <functional>
#include <memory>
#include <string>

namespace pontivo {

class VariableStore;

// The broker bridge's module (pontivo-mqtt beside the program), loaded only when a broker is
// configured, so that a server without one maps neither the client library nor TLS.
class BrokerModule {
public:
    using SetHandler = std::function<void(const std::string& name, const std::string& value)>;

    virtual ~BrokerModule() = default;
    // A bridge mirroring `store` from now on; `set` runs each set arriving from the broker.
    virtual std::unique_ptr<BrokerBridge> MakeBridge(VariableStore& store, SetHandler set,
                                                     const MqttOptions& options) = 0;
};

inline constexpr const char* kBrokerModuleFile = "pontivo-mqtt";

} // namespace pontivo

// The version after the slash changes with every change to BrokerModule or BrokerBridge.
#define PONTIVO_BROKER_MODULE_IID "org.pontivo.BrokerModule/2"
Q_DECLARE_INTERFACE(pontivo::BrokerModule, PONTIVO_BROKER_MODULE_IID)
