#include "http/VerifiedCache.h"

#include "http/Secrets.h"

#include <sodium.h>

#include <algorithm>

namespace pontivo {

VerifiedCache::VerifiedCache()
{
    SecretsReady();
    randombytes_buf(m_key.data(), m_key.size());
}

std::string VerifiedCache::KeyOf(std::string_view user, std::string_view password) const
{
    // The name's length first, so that no other split of the same bytes gives the same hash.
    const auto length = static_cast<unsigned long long>(user.size());
    crypto_generichash_state state;
    crypto_generichash_init(&state, m_key.data(), m_key.size(), crypto_generichash_BYTES);
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(&length), sizeof length);
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(user.data()), user.size());
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(password.data()), password.size());
    std::string key(crypto_generichash_BYTES, '\0');
    crypto_generichash_final(&state, reinterpret_cast<unsigned char*>(key.data()), key.size());
    return key;
}

std::optional<std::string> VerifiedCache::Find(const std::string& key, long long nowMs) const
{
    const auto found = m_entries.find(key);
    if (found == m_entries.end() || nowMs - found->second.verifiedMs >= kKeepMs)
        return std::nullopt;
    return found->second.name;
}

void VerifiedCache::Remember(const std::string& key, std::string name, long long nowMs)
{
    if (m_entries.size() >= kMaxEntries && !m_entries.contains(key)) {
        const auto oldest = std::min_element(m_entries.begin(), m_entries.end(), [](const auto& a, const auto& b) {
            return a.second.verifiedMs < b.second.verifiedMs;
        });
        m_entries.erase(oldest);
    }
    m_entries.insert_or_assign(key, Entry{std::move(name), nowMs});
}

} // namespace pontivo
