#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace pontivo {

// Where and as whom to join a broker; `enabled` is false unless --mqtt was given.
struct MqttOptions {
    bool enabled = false;
    bool tls = false;
    std::string host;
    int port = 1883;
    std::string prefix = "pontivo";
    std::string user;
    std::string password;
    std::string url;       // as given, for messages
    std::string discovery; // the hub's discovery prefix (--mqtt-discovery); empty: variables are not announced
    std::string publicUrl{}; // http://HOST:PORT as the hub reaches the server (--public-url), for its links
    std::size_t maxEntities = 1000; // announced at most (--mqtt-entities)
};

inline constexpr const char* kDefaultDiscoveryPrefix = "homeassistant";

// The option texts as given on the command line (empty when absent); braces let tests name only the first.
struct MqttTexts {
    std::string url{};
    std::string prefix = std::string(1, '\0'); // not given: no argument can hold a NUL byte
    std::string user{};
    std::string passwordFile{};
    std::optional<std::string> discovery{}; // --mqtt-discovery, with its prefix or an empty text for the default
    std::string publicUrl{};
    std::string entities{};
};

// Fills `options`; returns a one-line reason when a text is unusable, else an empty string.
std::string ReadMqttOptions(const MqttTexts& texts, MqttOptions& options);

} // namespace pontivo
