#include "MqttModule.h"

#include "MqttBridge.h"

extern "C" Q_DECL_EXPORT void pontivo_make_mqtt_bridge(std::unique_ptr<QObject>& bridge, pontivo::VariableStore& store,
                                                       const pontivo::MqttSetHandler& set,
                                                       const pontivo::MqttOptions& options)
{
    bridge = std::make_unique<pontivo::MqttBridge>(store, set, options);
}

static_assert(std::is_same_v<decltype(&pontivo_make_mqtt_bridge), pontivo::MqttEntry>);
