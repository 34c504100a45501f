#include "http/Secrets.h"

#include <sodium.h>

#include <array>

namespace pontivo {
namespace {

// argon2id at 19 MiB and two passes: the least the usual advice allows, so that a board's helper
// machine verifies in a few tens of milliseconds.
constexpr unsigned long long kPasses = 2;
constexpr std::size_t kMemoryBytes = 19 * 1024 * 1024;

std::string Hex(const unsigned char* bytes, std::size_t size)
{
    std::string text(size * 2 + 1, '\0');
    sodium_bin2hex(text.data(), text.size(), bytes, size);
    text.pop_back();
    return text;
}

} // namespace

bool SecretsReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

std::optional<std::string> HashPassword(std::string_view password)
{
    std::array<char, crypto_pwhash_STRBYTES> hash{};
    if (!SecretsReady() ||
        crypto_pwhash_str_alg(hash.data(), password.data(), password.size(), kPasses, kMemoryBytes,
                              crypto_pwhash_ALG_ARGON2ID13) != 0)
        return std::nullopt;
    return std::string(hash.data());
}

bool VerifyPassword(std::string_view hash, std::string_view password)
{
    if (!SecretsReady() || hash.size() >= crypto_pwhash_STRBYTES)
        return false;
    const std::string terminated(hash); // the library reads a C string
    return crypto_pwhash_str_verify(terminated.c_str(), password.data(), password.size()) == 0;
}

std::string NewToken()
{
    std::array<unsigned char, 32> bytes{};
    SecretsReady();
    randombytes_buf(bytes.data(), bytes.size());
    return Hex(bytes.data(), bytes.size());
}

std::string TokenDigest(std::string_view token)
{
    std::array<unsigned char, crypto_generichash_BYTES> digest{};
    SecretsReady();
    crypto_generichash(digest.data(), digest.size(), reinterpret_cast<const unsigned char*>(token.data()),
                       token.size(), nullptr, 0);
    return Hex(digest.data(), digest.size());
}

bool SameSecret(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && (a.empty() || sodium_memcmp(a.data(), b.data(), a.size()) == 0);
}

std::optional<std::string> DecodeBase64(std::string_view text)
{
    std::string bytes(text.size() / 4 * 3 + 3, '\0');
    std::size_t length = 0;
    const char* end = nullptr;
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(), text.data(), text.size(),
                          nullptr, &length, &end, sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != text.data() + text.size())
        return std::nullopt;
    bytes.resize(length);
    return bytes;
}

} // namespace pontivo
