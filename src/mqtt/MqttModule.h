#pragma once

#include "MqttOptions.h"

#include <QObject>

#include <functional>
#include <memory>
#include <string>

namespace pontivo {

class VariableStore;

// The broker bridge's module: built as pontivo-mqtt beside the program and loaded only when
// a broker is configured, so that a server without one maps neither the client library nor TLS.
// The bridge has a slot SetLinkState(QString) and a signal stateChanged(QString, bool).
inline constexpr const char* kMqttModule = "pontivo-mqtt";
inline constexpr const char* kMqttEntry = "pontivo_make_mqtt_bridge";
using MqttSetHandler = std::function<void(const std::string& name, const std::string& value)>;
using MqttEntry = void (*)(std::unique_ptr<QObject>& bridge, VariableStore& store, const MqttSetHandler& set,
                           const MqttOptions& options);

} // namespace pontivo
