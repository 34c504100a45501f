#include "broker/EntityDescription.h"

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

std::vector<std::string_view> Fields(std::string_view text)
{
    std::vector<std::string_view> fields;
    for (std::size_t start = 0;; ) {
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

} // namespace

std::string_view EntityDescription::Component() const
{
    for (const auto& [each, name] : kComponents) {
        if (each == kind)
            return name;
    }
    return {};
}

std::optional<EntityDescription> EntityDescription::Parse(std::string_view text)
{
    const std::vector<std::string_view> fields = Fields(text);
    if (fields.size() == 3 || fields.size() > 4)
        return std::nullopt;
    EntityDescription description;
    const auto known = std::find_if(kComponents.begin(), kComponents.end(),
                                    [&](const auto& component) { return component.second == fields[0]; });
    if (known == kComponents.end())
        return std::nullopt;
    description.kind = known->first;
    if (fields.size() > 1)
        description.unit = std::string(fields[1]);
    if (fields.size() == 4) {
        description.min = Number(fields[2]);
        description.max = Number(fields[3]);
        if (!description.min || !description.max || *description.min > *description.max)
            return std::nullopt;
    }
    return description;
}

} // namespace pontivo
