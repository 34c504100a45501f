#include "broker/MqttModule.h"

#include "broker/MqttBridge.h"

namespace pontivo {

std::unique_ptr<BrokerBridge> MqttModule::MakeBridge(VariableStore& store, SetHandler set, const MqttOptions& options)
{
    return std::make_unique<MqttBridge>(store, std::move(set), options);
}

} // namespace pontivo
