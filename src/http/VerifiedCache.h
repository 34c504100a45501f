#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace pontivo {

// Logins whose password verified lately, so that a page's many requests pay for one verification.
// Kept by a keyed hash of name and password under a key drawn at start: the memory holds no password,
// and a hash seen elsewhere says nothing about it.
class VerifiedCache {
public:
    static constexpr long long kKeepMs = 10 * 60'000;
    static constexpr std::size_t kMaxEntries = 256;

    VerifiedCache();

    // The keyed hash of a login, by which it is remembered and looked up.
    std::string KeyOf(std::string_view user, std::string_view password) const;
    // The name verified with this key, while still remembered.
    std::optional<std::string> Find(const std::string& key, long long nowMs) const;
    void Remember(const std::string& key, std::string name, long long nowMs);
    void Forget() { m_entries.clear(); }
    std::size_t Size() const { return m_entries.size(); }

private:
    struct Entry {
        std::string name;
        long long verifiedMs;
    };
    std::array<unsigned char, 32> m_key{};
    std::unordered_map<std::string, Entry> m_entries;
};

} // namespace pontivo
