#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pontivo {

// What a variable stands for in a home-automation hub, from the variable `$NAME`:
// KIND[,UNIT[,MIN,MAX[,DEVICE_CLASS]]], e.g. "sensor,°C", "switch", "number,rpm,0,255", "sensor,°C,,,temperature".
// The text is read percent-decoded (%XX; a '%' without two hex digits stays), since a unit typed into a URL
// arrives encoded.
struct EntityDescription {
    enum class Kind { Sensor, BinarySensor, Switch, Number, Text, Button };

    Kind kind = Kind::Sensor;
    std::string unit;
    std::optional<double> min;
    std::optional<double> max;
    std::string deviceClass;  // one of the hub's for the kind, or empty
    std::string ignoredClass; // a DEVICE_CLASS given that the hub does not know for the kind

    // The hub's component name: "sensor", "binary_sensor", ...
    std::string_view Component() const;
    // Whether the hub may write it (it then gets a command topic).
    bool Writable() const { return kind != Kind::Sensor && kind != Kind::BinarySensor; }
    // A sensor whose state is a number the hub keeps long-term statistics of.
    bool Measured() const;

    // Nothing for a text that is no description (unknown kind, wrong number of fields, MIN or MAX not a
    // number or MIN above MAX): such a variable is shown as a plain sensor.
    static std::optional<EntityDescription> Parse(std::string_view text);
};

} // namespace pontivo
