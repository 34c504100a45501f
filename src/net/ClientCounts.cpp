#include "net/ClientCounts.h"

#include "http/HttpTimings.h"

#include <algorithm>
#include <array>

namespace pontivo {

std::string ClientOf(const IpAddress& address)
{
    const auto bytes = reinterpret_cast<const char*>(address.bytes.data());
    constexpr std::array<unsigned char, 12> kMapped{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (!address.v6)
        return std::string(bytes, 4);
    if (std::equal(kMapped.begin(), kMapped.end(), address.bytes.begin()))
        return std::string(bytes + kMapped.size(), 4);
    return std::string(bytes, 8);
}

bool KeepsReserve(long long descriptor, long long softLimit)
{
    return softLimit <= 0 || descriptor < softLimit - std::min(kReservedDescriptors, softLimit / 4);
}

bool ClientCounts::Take(const std::string& client, int limit)
{
    int& count = m_counts[client];
    if (count >= limit) {
        if (count == 0)
            m_counts.erase(client);
        return false;
    }
    ++count;
    return true;
}

void ClientCounts::Give(const std::string& client)
{
    const auto found = m_counts.find(client);
    if (found != m_counts.end() && --found->second <= 0)
        m_counts.erase(found);
}

} // namespace pontivo
