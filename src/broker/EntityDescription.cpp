#include "broker/EntityDescription.h"

#include "api/JsonText.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <utility>
#include <vector>

namespace pontivo {
namespace {

using Kind = EntityDescription::Kind;

constexpr std::array<std::pair<Kind, std::string_view>, 6> kComponents{{{Kind::Sensor, "sensor"},
    {Kind::BinarySensor, "binary_sensor"}, {Kind::Switch, "switch"}, {Kind::Number, "number"}, {Kind::Text, "text"},
    {Kind::Button, "button"}}};

// The hub's device classes, comma-separated between commas; a number takes a sensor's numeric ones.
constexpr std::string_view kNumericClasses =
    ",apparent_power,aqi,area,atmospheric_pressure,battery,blood_glucose_concentration,carbon_dioxide,carbon_monoxide,"
    "current,data_rate,data_size,distance,duration,energy,energy_distance,energy_storage,frequency,gas,humidity,"
    "illuminance,irradiance,moisture,monetary,nitrogen_dioxide,nitrogen_monoxide,nitrous_oxide,ozone,ph,pm1,pm10,pm25,"
    "power_factor,power,precipitation,precipitation_intensity,pressure,reactive_energy,reactive_power,signal_strength,"
    "sound_pressure,speed,sulphur_dioxide,temperature,volatile_organic_compounds,volatile_organic_compounds_parts,"
    "voltage,volume,volume_flow_rate,volume_storage,water,weight,wind_direction,wind_speed,";
constexpr std::string_view kSensorOnlyClasses = ",date,enum,timestamp,";
constexpr std::string_view kBinaryClasses =
    ",battery,battery_charging,carbon_monoxide,cold,connectivity,door,garage_door,gas,heat,light,lock,moisture,motion,"
    "moving,occupancy,opening,plug,power,presence,problem,running,safety,smoke,sound,tamper,update,vibration,window,";

bool Listed(std::string_view list, std::string_view name)
{
    return !name.empty() && name.find(',') == std::string_view::npos &&
           list.find(std::string(",").append(name).append(",")) != std::string_view::npos;
}

bool KnownClass(Kind kind, std::string_view name)
{
    switch (kind) {
    case Kind::Sensor: return Listed(kNumericClasses, name) || Listed(kSensorOnlyClasses, name);
    case Kind::Number: return Listed(kNumericClasses, name);
    case Kind::BinarySensor: return Listed(kBinaryClasses, name);
    case Kind::Switch: return Listed(",outlet,switch,", name);
    case Kind::Button: return Listed(",identify,restart,update,", name);
    case Kind::Text: return false;
    }
    return false;
}

std::vector<std::string_view> Fields(std::string_view text)
{
    std::vector<std::string_view> fields;
    for (std::size_t start = 0; ; ) {
        const std::size_t comma = text.find(',', start);
        fields.push_back(text.substr(start, comma - start));
        if (comma == std::string_view::npos)
            return fields;
        start = comma + 1;
    }
}

std::optional<double> Number(std::string_view text)
{
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// MIN and MAX: both numbers, MIN at most MAX; with a device class after them both may be left empty.
bool ReadRange(std::string_view min, std::string_view max, bool mayBeEmpty, EntityDescription& description)
{
    if (mayBeEmpty && min.empty() && max.empty())
        return true;
    description.min = Number(min);
    description.max = Number(max);
    return description.min && description.max && *description.min <= *description.max;
}

} // namespace

std::string_view EntityDescription::Component() const
{
    for (const auto& [each, name] : kComponents) {
        if (each == kind)
            return name;
    }
    return {};
}

bool EntityDescription::Measured() const
{
    return kind == Kind::Sensor && (!unit.empty() || min) && !Listed(kSensorOnlyClasses, deviceClass);
}

std::optional<EntityDescription> EntityDescription::Parse(std::string_view text)
{
    const std::string decoded = *PercentDecoded(text, StrayPercent::Kept);
    const std::vector<std::string_view> fields = Fields(decoded);
    if (fields.size() == 3 || fields.size() > 5)
        return std::nullopt;
    EntityDescription description;
    const auto known = std::find_if(kComponents.begin(), kComponents.end(),
                                    [&](const auto& component) { return component.second == fields[0]; });
    if (known == kComponents.end())
        return std::nullopt;
    description.kind = known->first;
    if (fields.size() > 1)
        description.unit = std::string(fields[1]);
    if (fields.size() >= 4 && !ReadRange(fields[2], fields[3], fields.size() == 5, description))
        return std::nullopt;
    if (fields.size() == 5)
        (KnownClass(description.kind, fields[4]) ? description.deviceClass : description.ignoredClass) = fields[4];
    return description;
}

} // namespace pontivo
