#pragma once

#include "server/BrokerModule.h"

#include <QObject>

namespace pontivo {

// The broker module's root object: makes the bridges.
class MqttModule : public QObject, public BrokerModule {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID PONTIVO_BROKER_MODULE_IID)
    Q_INTERFACES(pontivo::BrokerModule)

public:
    std::unique_ptr<BrokerBridge> MakeBridge(VariableStore& store, SetHandler set, const MqttOptions& options) override;
};

} // namespace pontivo
