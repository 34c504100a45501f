#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pontivo {

// A variable announced to a home-automation hub: its retained config message at
// DISCOVERY/COMPONENT/NODE/OBJECT/config. NODE stands for the Pontivo instance (its MQTT prefix),
// OBJECT for the variable; both are object ids (EncodeObjectId).
struct DiscoveryConfig {
    std::string topic;
    std::string payload;      // JSON
    std::string ignoredClass; // a DEVICE_CLASS the hub would not take, left out

    // Where the instance's configs go: `discovery` is the hub's prefix, `prefix` the bridge's own.
    struct Site {
        std::string discovery;
        std::string prefix;
        std::string version;   // Pontivo's, as the hub shows it
        std::string publicUrl; // http://HOST:PORT as the hub reaches the server

        // DISCOVERY/+/NODE/+/config: every config of this instance.
        std::string ConfigFilter() const;
        // DISCOVERY/status, where the hub says "online" when it starts.
        std::string StatusTopic() const { return discovery + "/status"; }
    };

    // The config of variable `name` as described by `description` (the value of `$name`, or nothing);
    // nothing for a name starting with '$', which is a description itself.
    static std::optional<DiscoveryConfig> For(const Site& site, std::string_view name,
                                              std::optional<std::string_view> description);
    // The variable whose config `topic` is, when it is one of the site's config topics.
    static std::optional<std::string> NameFromTopic(const Site& site, std::string_view topic);
    // Whether a config carries this instance's own identifiers (its unique_id prefix or device identifier):
    // only such configs are ever cleared, whatever else shares the node id.
    static bool Ours(const Site& site, std::string_view payload);
};

// Hub object ids allow only [a-zA-Z0-9_-]: letters, digits and '-' stand as they are, '_' becomes "__",
// every other byte "_HH" (upper-case hex), and the empty name "_". One id per name, and back.
std::string EncodeObjectId(std::string_view name);
std::optional<std::string> DecodeObjectId(std::string_view id);

} // namespace pontivo
