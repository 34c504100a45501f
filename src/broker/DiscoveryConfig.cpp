#include "broker/DiscoveryConfig.h"

#include "broker/EntityDescription.h"
#include "topics/MqttTopics.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>

namespace pontivo {
namespace {

constexpr std::string_view kHex = "0123456789ABCDEF";

bool StandsAsItIs(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

// Names and values are bytes; the hub reads UTF-8, so bytes that are not become U+FFFD.
std::string Dump(const nlohmann::json& json)
{
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string DeviceId(const DiscoveryConfig::Site& site)
{
    return "pontivo_" + EncodeObjectId(site.prefix);
}

nlohmann::json Device(const DiscoveryConfig::Site& site)
{
    return {{"identifiers", nlohmann::json::array({DeviceId(site)})}, {"name", site.prefix}, {"model", "Pontivo"},
            {"manufacturer", "Pontivo"}, {"sw_version", site.version},
            {"configuration_url", site.publicUrl + "/ui/"}};
}

// What the hub needs beyond the topics for each kind.
void PutKind(nlohmann::json& json, const EntityDescription& entity)
{
    using Kind = EntityDescription::Kind;
    if (entity.kind == Kind::Switch || entity.kind == Kind::BinarySensor) {
        json["payload_on"] = "on";
        json["payload_off"] = "off";
    }
    // The hub's default press is "PRESS": the board would get NAME=PRESS, and the variable keep it.
    if (entity.kind == Kind::Button)
        json["payload_press"] = "1";
    if (!entity.unit.empty())
        json["unit_of_measurement"] = entity.unit;
    // Only a number has a range in the hub; a sensor's marks it as numeric.
    if (entity.kind == Kind::Number && entity.min && entity.max) {
        json["min"] = *entity.min;
        json["max"] = *entity.max;
    }
    if (!entity.deviceClass.empty())
        json["device_class"] = entity.deviceClass;
    if (entity.Measured())
        json["state_class"] = "measurement";
}

} // namespace

std::string EncodeObjectId(std::string_view name)
{
    if (name.empty())
        return "_";
    std::string id;
    id.reserve(name.size());
    for (const char c : name) {
        if (StandsAsItIs(c)) {
            id += c;
        } else if (c == '_') {
            id += "__";
        } else {
            const auto value = static_cast<std::uint8_t>(c);
            id += '_';
            id += kHex[value >> 4];
            id += kHex[value & 0xF];
        }
    }
    return id;
}

std::optional<std::string> DecodeObjectId(std::string_view id)
{
    if (id == "_")
        return std::string();
    std::string name;
    for (std::size_t i = 0; i < id.size(); ++i) {
        if (id[i] != '_') {
            name += id[i];
        } else if (i + 1 < id.size() && id[i + 1] == '_') {
            name += '_';
            ++i;
        } else if (i + 2 < id.size() && kHex.find(id[i + 1]) != std::string_view::npos &&
                   kHex.find(id[i + 2]) != std::string_view::npos) {
            name += static_cast<char>(kHex.find(id[i + 1]) * 16 + kHex.find(id[i + 2]));
            i += 2;
        } else {
            return std::nullopt;
        }
    }
    // Only the one spelling, so that each config topic belongs to one name.
    if (EncodeObjectId(name) != id)
        return std::nullopt;
    return name;
}

std::string DiscoveryConfig::Site::ConfigFilter() const
{
    return discovery + "/+/" + EncodeObjectId(prefix) + "/+/config";
}

std::optional<DiscoveryConfig> DiscoveryConfig::For(const Site& site, std::string_view name,
                                                    std::optional<std::string_view> description)
{
    if (!name.empty() && name.front() == '$')
        return std::nullopt;
    const EntityDescription entity =
        description ? EntityDescription::Parse(*description).value_or(EntityDescription{}) : EntityDescription{};
    const std::string node = EncodeObjectId(site.prefix);
    const std::string object = EncodeObjectId(name);
    const std::string valueTopic = ValueTopic(site.prefix, name);
    nlohmann::json json{{"name", name},
                        {"unique_id", DeviceId(site) + "." + object},
                        {"device", Device(site)},
                        {"origin", {{"name", "Pontivo"}, {"sw_version", site.version},
                                    {"support_url", site.publicUrl + "/files/examples/"}}},
                        {"availability_topic", site.prefix + "/$state"},
                        {"payload_available", "online"},
                        {"payload_not_available", "offline"}};
    if (entity.kind != EntityDescription::Kind::Button)
        json["state_topic"] = valueTopic;
    if (entity.Writable())
        json["command_topic"] = valueTopic + "/set";
    PutKind(json, entity);
    return DiscoveryConfig{site.discovery + '/' + std::string(entity.Component()) + '/' + node + '/' + object + "/config",
                           Dump(json), entity.ignoredClass};
}

bool DiscoveryConfig::Ours(const Site& site, std::string_view payload)
{
    const nlohmann::json json = nlohmann::json::parse(payload, nullptr, false);
    if (!json.is_object())
        return false;
    const std::string id = DeviceId(site);
    const nlohmann::json unique = json.value("unique_id", nlohmann::json());
    if (unique.is_string() && unique.get<std::string>().starts_with(id + "."))
        return true;
    const nlohmann::json device = json.value("device", nlohmann::json::object());
    const nlohmann::json ids = device.is_object() ? device.value("identifiers", nlohmann::json()) : nlohmann::json();
    return ids.is_array() && std::find(ids.begin(), ids.end(), id) != ids.end();
}

std::optional<std::string> DiscoveryConfig::NameFromTopic(const Site& site, std::string_view topic)
{
    constexpr std::string_view kSuffix = "/config";
    const std::string node = '/' + EncodeObjectId(site.prefix) + '/';
    if (topic.size() < site.discovery.size() + 1 + kSuffix.size() || topic.substr(0, site.discovery.size()) != site.discovery ||
        topic[site.discovery.size()] != '/' || topic.substr(topic.size() - kSuffix.size()) != kSuffix)
        return std::nullopt;
    // COMPONENT/NODE/OBJECT between the two.
    const std::string_view middle = topic.substr(site.discovery.size() + 1,
                                                 topic.size() - site.discovery.size() - 1 - kSuffix.size());
    const std::size_t nodeAt = middle.find('/');
    if (nodeAt == std::string_view::npos || middle.substr(nodeAt, node.size()) != node)
        return std::nullopt;
    return DecodeObjectId(middle.substr(nodeAt + node.size()));
}

} // namespace pontivo
