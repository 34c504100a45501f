#include "http/LoginGuard.h"

#include <algorithm>

namespace pontivo {

long long LoginGuard::BlockedForMs(const std::string& client, long long nowMs) const
{
    const auto found = m_clients.find(client);
    return found == m_clients.end() ? 0 : std::max(0LL, found->second.blockedUntilMs - nowMs);
}

bool LoginGuard::Failed(const std::string& client, long long nowMs)
{
    if (m_clients.size() >= kMaxClients && !m_clients.contains(client))
        MakeRoom(nowMs);
    Record& record = m_clients[client];
    if (record.failures == 0 || nowMs - record.firstMs >= kWindowMs)
        record = {0, nowMs, record.blockedUntilMs};
    if (++record.failures <= kMaxFailures || record.blockedUntilMs > nowMs)
        return false;
    record.blockedUntilMs = nowMs + kBlockMs;
    return true;
}

// Records whose minute and block are over go first; failing that, one not blocked, so that an attack
// from many addresses cannot free a blocked one by crowding it out.
void LoginGuard::MakeRoom(long long nowMs)
{
    std::erase_if(m_clients, [nowMs](const auto& entry) {
        return nowMs - entry.second.firstMs >= kWindowMs && entry.second.blockedUntilMs <= nowMs;
    });
    if (m_clients.size() < kMaxClients)
        return;
    const auto unblocked = std::find_if(m_clients.begin(), m_clients.end(),
                                        [nowMs](const auto& entry) { return entry.second.blockedUntilMs <= nowMs; });
    m_clients.erase(unblocked != m_clients.end() ? unblocked : m_clients.begin());
}

} // namespace pontivo
