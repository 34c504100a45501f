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

bool LoopbackClient(const std::string& client)
{
    return (client.size() == 4 && client[0] == 127) || client == std::string(8, '\0');
}

std::string ClientText(const std::string& client)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(client[i]); };
    std::string text;
    if (client.size() == 4) {
        for (std::size_t i = 0; i < 4; ++i)
            text.append(i ? "." : "").append(std::to_string(byte(i)));
        return text;
    }
    constexpr char kHex[] = "0123456789abcdef";
    for (std::size_t i = 0; i + 1 < client.size(); i += 2) {
        const unsigned group = byte(i) << 8 | byte(i + 1);
        std::string digits;
        for (unsigned rest = group; rest != 0 || digits.empty(); rest >>= 4)
            digits.insert(digits.begin(), kHex[rest & 0xf]);
        text.append(i ? ":" : "").append(digits);
    }
    return text + "::/64";
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
