#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pontivo {

// Password and token hashing over libsodium. Every call is safe from any thread once the library is up.

// False when the library cannot start (no source of randomness); nothing else here works then.
bool SecretsReady();

// An argon2id hash string of the password; nothing when the memory for it could not be had.
std::optional<std::string> HashPassword(std::string_view password);
// Constant time in the password; a malformed hash verifies nothing.
bool VerifyPassword(std::string_view hash, std::string_view password);

// A new token: 256 random bits as 64 hex digits.
std::string NewToken();
// What the users file keeps of a token: a hash, as 64 hex digits.
std::string TokenDigest(std::string_view token);

// Equal contents, in a time that depends on the lengths only.
bool SameSecret(std::string_view a, std::string_view b);

// Standard base64 with padding, strictly; nothing on any other character.
std::optional<std::string> DecodeBase64(std::string_view text);

} // namespace pontivo
