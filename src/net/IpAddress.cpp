#include "net/IpAddress.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <sys/socket.h>
#endif

namespace pontivo {

std::optional<IpAddress> ParseIpAddress(const std::string& text)
{
    IpAddress address;
    if (::inet_pton(AF_INET, text.c_str(), address.bytes.data()) == 1)
        return address;
    address.v6 = true;
    if (::inet_pton(AF_INET6, text.c_str(), address.bytes.data()) == 1)
        return address;
    return std::nullopt;
}

} // namespace pontivo
