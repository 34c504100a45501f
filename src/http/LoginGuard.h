#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>

namespace pontivo {

// Failed logins per client (an IPv4 address, an IPv6 /64): more than kMaxFailures within a minute
// of the first blocks the client for a minute. Times are monotonic milliseconds.
class LoginGuard {
public:
    static constexpr int kMaxFailures = 10;
    static constexpr long long kWindowMs = 60'000;
    static constexpr long long kBlockMs = 60'000;
    // An attack from many addresses holds at most this many records (about 100 bytes each).
    static constexpr std::size_t kMaxClients = 4096;

    // How long the client must still wait; 0 when it may try.
    long long BlockedForMs(const std::string& client, long long nowMs) const;
    // Counts a failure; true when this one blocks the client (the moment to say so).
    bool Failed(const std::string& client, long long nowMs);
    std::size_t Clients() const { return m_clients.size(); }

private:
    struct Record {
        int failures = 0;
        long long firstMs = 0;
        long long blockedUntilMs = 0;
    };
    void MakeRoom(long long nowMs);

    std::unordered_map<std::string, Record> m_clients;
};

} // namespace pontivo
