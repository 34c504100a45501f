#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pontivo {

// What an Authorization line offers.
struct Credentials {
    enum class Kind {
        None,      // no line: a browser's first request, before it shows its prompt
        Basic,     // user and secret (the password)
        Bearer,    // secret (the token)
        Malformed, // a line that offers nothing usable: a failed attempt
    };
    Kind kind = Kind::None;
    std::string user;
    std::string secret;
};

// Longer lines are refused unread: no password needs them, and argon2id's time grows with its input.
constexpr std::size_t kMaxAuthorizationBytes = 1024;

Credentials ReadAuthorization(std::optional<std::string_view> line);

} // namespace pontivo
