#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pontivo {

// What a variable stands for in a home-automation hub, from the variable `$NAME`:
// KIND[,UNIT[,MIN,MAX]], e.g. "sensor,°C", "switch", "number,rpm,0,255".
struct EntityDescription {
    enum class Kind { Sensor, BinarySensor, Switch, Number, Text, Button };

    Kind kind = Kind::Sensor;
    std::string unit;
    std::optional<double> min;
    std::optional<double> max;

    // The hub's component name: "sensor", "binary_sensor", ...
    std::string_view Component() const;
    // Whether the hub may write it (it then gets a command topic).
    bool Writable() const { return kind != Kind::Sensor && kind != Kind::BinarySensor; }

    // Nothing for a text that is no description (unknown kind, wrong number of fields, MIN or MAX not a
    // number or MIN above MAX): such a variable is shown as a plain sensor.
    static std::optional<EntityDescription> Parse(std::string_view text);
};

} // namespace pontivo
