#pragma once

#include "net/IpAddress.h"

#include <string>
#include <unordered_map>

namespace pontivo {

// Who a peer address counts as: an IPv4 address (also when mapped into IPv6) by itself, an IPv6
// address by its /64 network, since one host may hold any number of addresses within it.
std::string ClientOf(const IpAddress& address);
// This machine itself: 127.0.0.0/8, or ::1's /64.
bool LoopbackClient(const std::string& client);
// A client as people read it: "192.0.2.7", or "2001:db8:0:1::/64".
std::string ClientText(const std::string& client);

// Whether a new descriptor numbered `descriptor` still leaves the reserve free. The system hands
// out the lowest free number, so every number below it is in use. A soft limit of 0 means none
// is known; a small one keeps a quarter of itself.
bool KeepsReserve(long long descriptor, long long softLimit);

// What each client holds at once, against a limit per client.
class ClientCounts {
public:
    // False, counting nothing, when the client holds `limit` already.
    [[nodiscard]] bool Take(const std::string& client, int limit);
    void Give(const std::string& client);
    std::size_t Clients() const { return m_counts.size(); }

private:
    std::unordered_map<std::string, int> m_counts; // none at zero
};

} // namespace pontivo
