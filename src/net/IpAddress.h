#pragma once

#include <array>
#include <optional>
#include <string>

namespace pontivo {

// An address literal as the system's sockets take it.
struct IpAddress {
    bool v6 = false;
    std::array<unsigned char, 16> bytes{}; // network order; IPv4 fills the first four
};

// A dotted-quad IPv4 or a textual IPv6 address; host names, ports, brackets and scopes are refused.
std::optional<IpAddress> ParseIpAddress(const std::string& text);

} // namespace pontivo
