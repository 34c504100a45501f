#include "net/NativeSocket.h"

#include "net/ClientCounts.h"
#include "net/IpAddress.h"

#ifdef Q_OS_WIN
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#ifdef Q_OS_LINUX
#include <linux/sockios.h>
#endif
#include <sys/socket.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <sys/sendfile.h>
#endif
#ifndef Q_OS_WIN
#include <csignal>
#endif

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <system_error>
#include <vector>

namespace pontivo {
namespace {

// Every event stream holds a descriptor; a desktop's usual soft limit of 1024 would stop
// accepting before the streams reach theirs.
[[maybe_unused]] constexpr unsigned kWantedDescriptors = 4096;

[[maybe_unused]] IoResult SendFileThroughBuffer(qintptr descriptor, const FileBody& body, std::size_t limit)
{
    // One thread serves every connection, so one buffer does.
    static std::vector<char> buffer(256 * 1024);
    const std::size_t got = ReadFilePiece(body, buffer.data(), std::min(limit, buffer.size()));
    if (got == 0)
        return {IoOutcome::Failed};
    return NativeSend(descriptor, buffer.data(), got);
}

constexpr const char* kLoopback = "127.0.0.1";

bool IsLoopback(const in_addr& address)
{
    return ntohl(address.s_addr) >> 24 == 127;
}

std::string AddressText(const in_addr& address)
{
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

std::string ClientOf(const sockaddr_storage& peer)
{
    IpAddress ip;
    ip.v6 = peer.ss_family == AF_INET6;
    if (ip.v6)
        std::memcpy(ip.bytes.data(), &reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_addr, 16);
    else if (peer.ss_family == AF_INET)
        std::memcpy(ip.bytes.data(), &reinterpret_cast<const sockaddr_in*>(&peer)->sin_addr, 4);
    return ClientOf(ip);
}

} // namespace

#ifdef Q_OS_WIN

namespace {

using NativeHandle = SOCKET;

constexpr int kAddressInUse = WSAEADDRINUSE;
constexpr int kAddressProtected = WSAEACCES;
constexpr int kAddressNotAvailable = WSAEADDRNOTAVAIL;
constexpr int kNoIpv6 = WSAEAFNOSUPPORT;

bool WouldBlock()
{
    return ::WSAGetLastError() == WSAEWOULDBLOCK;
}

int LastError()
{
    return ::WSAGetLastError();
}

// INVALID_SOCKET, with the socket closed, when it cannot be made non-blocking: one that
// blocks would stall every connection.
SOCKET MakeNonBlocking(SOCKET socket)
{
    u_long nonBlocking = 1;
    if (socket == INVALID_SOCKET || ::ioctlsocket(socket, FIONBIO, &nonBlocking) == 0)
        return socket;
    const int error = ::WSAGetLastError();
    ::closesocket(socket);
    ::WSASetLastError(error);
    return INVALID_SOCKET;
}

// Nothing else in the program starts Winsock, and every socket call needs it.
bool StartWinsock()
{
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

SOCKET OpenSocket(int family)
{
    if (!StartWinsock())
        return INVALID_SOCKET;
    return MakeNonBlocking(::WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT));
}

// There SO_REUSEADDR would let a second server take a port in use.
bool AllowQuickRestart(SOCKET)
{
    return true;
}

} // namespace

std::string FirstIpv4Address()
{
    char name[256] = {};
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (!StartWinsock() || ::gethostname(name, sizeof name) != 0 || ::getaddrinfo(name, nullptr, &hints, &found) != 0)
        return kLoopback;
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owned(found, &::freeaddrinfo);
    for (const addrinfo* entry = found; entry; entry = entry->ai_next) {
        const in_addr address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr;
        if (!IsLoopback(address))
            return AddressText(address);
    }
    return kLoopback;
}

AcceptResult NativeAccept(qintptr listener)
{
    sockaddr_storage peer{};
    int size = sizeof peer;
    const SOCKET accepted =
        MakeNonBlocking(::accept(static_cast<SOCKET>(listener), reinterpret_cast<sockaddr*>(&peer), &size));
    if (accepted == INVALID_SOCKET) {
        switch (::WSAGetLastError()) {
        case WSAEWOULDBLOCK:
            return {AcceptOutcome::NothingPending};
        case WSAEMFILE:
        case WSAENOBUFS:
            return {AcceptOutcome::OutOfResources};
        default:
            return {AcceptOutcome::Failed};
        }
    }
    return {AcceptOutcome::Accepted, static_cast<qintptr>(accepted), ClientOf(peer)};
}

long long NativeDescriptorLimit()
{
    return 0; // sockets are handles there, not numbers under a limit
}

long long NativeLowestFreeDescriptor(qintptr)
{
    return 0;
}

IoResult NativeReceive(qintptr descriptor, char* buffer, std::size_t capacity)
{
    const int n = ::recv(static_cast<SOCKET>(descriptor), buffer, static_cast<int>(capacity), 0);
    if (n > 0)
        return {IoOutcome::Transferred, static_cast<std::size_t>(n)};
    if (n == 0)
        return {IoOutcome::EndOfStream};
    return {WouldBlock() ? IoOutcome::WouldBlock : IoOutcome::Failed};
}

IoResult NativeSend(qintptr descriptor, const char* data, std::size_t size)
{
    const int n = ::send(static_cast<SOCKET>(descriptor), data, static_cast<int>(size), 0);
    if (n >= 0)
        return {IoOutcome::Transferred, static_cast<std::size_t>(n)};
    return {WouldBlock() ? IoOutcome::WouldBlock : IoOutcome::Failed};
}

IoResult NativeSendFile(qintptr descriptor, const FileBody& body, std::size_t limit)
{
    return SendFileThroughBuffer(descriptor, body, limit);
}

std::optional<std::size_t> NativeUnsentBytes(qintptr)
{
    return std::nullopt;
}

bool ShutdownSending(qintptr descriptor)
{
    return ::shutdown(static_cast<SOCKET>(descriptor), SD_SEND) == 0;
}

void CloseDescriptor(qintptr descriptor)
{
    ::closesocket(static_cast<SOCKET>(descriptor)); // the handle is gone whatever it answers
}

void RaiseDescriptorLimit() {}

void IgnoreBrokenPipe() {} // sockets there raise no signal

namespace {

// The listener cannot wait for an address to come up there.
bool AllowAddressNotUpYet(SOCKET, int)
{
    return true;
}

} // namespace

#else

namespace {

using NativeHandle = int;

constexpr int kAddressInUse = EADDRINUSE;
constexpr int kAddressProtected = EACCES;
constexpr int kAddressNotAvailable = EADDRNOTAVAIL;
constexpr int kNoIpv6 = EAFNOSUPPORT;

bool WouldBlock(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK;
}

int LastError()
{
    return errno;
}

// -1, with the descriptor closed, when it cannot be made non-blocking: one that blocks would
// stall every connection.
[[maybe_unused]] int MakeNonBlocking(int descriptor)
{
    if (descriptor < 0)
        return descriptor;
    const int flags = ::fcntl(descriptor, F_GETFL);
    if (flags != -1 && ::fcntl(descriptor, F_SETFL, flags | O_NONBLOCK) == 0
        && ::fcntl(descriptor, F_SETFD, FD_CLOEXEC) == 0)
        return descriptor;
    const int error = errno;
    ::close(descriptor);
    errno = error;
    return -1;
}

int AcceptNonBlocking(int listener, sockaddr_storage& peer)
{
    socklen_t size = sizeof peer;
    const auto address = reinterpret_cast<sockaddr*>(&peer);
#ifdef Q_OS_LINUX
    return ::accept4(listener, address, &size, SOCK_NONBLOCK | SOCK_CLOEXEC);
#else
    return MakeNonBlocking(::accept(listener, address, &size));
#endif
}

int OpenSocket(int family)
{
#ifdef Q_OS_LINUX
    return ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
#else
    return MakeNonBlocking(::socket(family, SOCK_STREAM, 0));
#endif
}

// A restarted server must not wait for its old connections' TIME_WAIT to end.
bool AllowQuickRestart(int listener)
{
    const int on = 1;
    return ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

} // namespace

AcceptResult NativeAccept(qintptr listener)
{
    for (;;) {
        sockaddr_storage peer{};
        const int accepted = AcceptNonBlocking(static_cast<int>(listener), peer);
        if (accepted >= 0)
            return {AcceptOutcome::Accepted, accepted, ClientOf(peer)};
        const int error = errno;
        if (error == EINTR)
            continue;
        if (WouldBlock(error))
            return {AcceptOutcome::NothingPending};
        if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM)
            return {AcceptOutcome::OutOfResources};
        // A connection aborted before it was taken: the next one may be fine.
        return {AcceptOutcome::Failed};
    }
}

IoResult NativeReceive(qintptr descriptor, char* buffer, std::size_t capacity)
{
    for (;;) {
        const ssize_t n = ::recv(static_cast<int>(descriptor), buffer, capacity, 0);
        if (n > 0)
            return {IoOutcome::Transferred, static_cast<std::size_t>(n)};
        if (n == 0)
            return {IoOutcome::EndOfStream};
        if (errno != EINTR)
            return {WouldBlock(errno) ? IoOutcome::WouldBlock : IoOutcome::Failed};
    }
}

IoResult NativeSend(qintptr descriptor, const char* data, std::size_t size)
{
#ifdef MSG_NOSIGNAL
    constexpr int flags = MSG_NOSIGNAL;
#else
    constexpr int flags = 0;
#endif
    for (;;) {
        const ssize_t n = ::send(static_cast<int>(descriptor), data, size, flags);
        if (n >= 0)
            return {IoOutcome::Transferred, static_cast<std::size_t>(n)};
        if (errno != EINTR)
            return {WouldBlock(errno) ? IoOutcome::WouldBlock : IoOutcome::Failed};
    }
}

IoResult NativeSendFile(qintptr descriptor, const FileBody& body, std::size_t limit)
{
#ifdef Q_OS_LINUX
    const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(body.size, limit));
    if (!body.file || wanted == 0)
        return {IoOutcome::Failed};
    for (;;) {
        auto offset = static_cast<off_t>(body.offset);
        // No MSG_NOSIGNAL here: a reset peer raises SIGPIPE, which IgnoreBrokenPipe has made harmless.
        const ssize_t n = ::sendfile(static_cast<int>(descriptor), ::fileno(body.file.get()), &offset, wanted);
        if (n > 0)
            return {IoOutcome::Transferred, static_cast<std::size_t>(n)};
        if (n == 0)
            return {IoOutcome::Failed};
        const int error = errno;
        if (error == EINVAL || error == ENOSYS)
            return SendFileThroughBuffer(descriptor, body, limit);
        if (error != EINTR)
            return {WouldBlock(error) ? IoOutcome::WouldBlock : IoOutcome::Failed};
    }
#else
    return SendFileThroughBuffer(descriptor, body, limit);
#endif
}

std::optional<std::size_t> NativeUnsentBytes([[maybe_unused]] qintptr descriptor)
{
#ifdef Q_OS_LINUX
    int unsent = 0;
    if (::ioctl(static_cast<int>(descriptor), SIOCOUTQ, &unsent) == 0 && unsent >= 0)
        return static_cast<std::size_t>(unsent);
#endif
    return std::nullopt;
}

bool ShutdownSending(qintptr descriptor)
{
    return ::shutdown(static_cast<int>(descriptor), SHUT_WR) == 0;
}

void CloseDescriptor(qintptr descriptor)
{
    ::close(static_cast<int>(descriptor)); // even a failed close releases the number
}

std::string FirstIpv4Address()
{
    ifaddrs* found = nullptr;
    if (::getifaddrs(&found) != 0)
        return kLoopback;
    const std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> owned(found, &::freeifaddrs);
    for (const ifaddrs* entry = found; entry; entry = entry->ifa_next) {
        // Interfaces that are down do not count.
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET || (entry->ifa_flags & IFF_UP) == 0)
            continue;
        const in_addr address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr;
        if (!IsLoopback(address))
            return AddressText(address);
    }
    return kLoopback;
}

long long NativeLowestFreeDescriptor(qintptr open)
{
    const int probe = ::fcntl(static_cast<int>(open), F_DUPFD_CLOEXEC, 0);
    if (probe < 0)
        return LLONG_MAX;
    ::close(probe);
    return probe;
}

long long NativeDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return 0;
    return static_cast<long long>(limit.rlim_cur);
}

void RaiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= kWantedDescriptors)
        return;
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, kWantedDescriptors);
    // Within the hard limit it cannot be refused; and the old limit only means fewer connections.
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

void IgnoreBrokenPipe()
{
    // Fails only for a signal that cannot be ignored, which SIGPIPE is not.
    std::signal(SIGPIPE, SIG_IGN);
}

namespace {

// A server started at boot with --bind must not fail because the network is not up yet.
bool AllowAddressNotUpYet([[maybe_unused]] int listener, [[maybe_unused]] int family)
{
#ifdef Q_OS_LINUX
    const int on = 1;
    return family == AF_INET6 ? ::setsockopt(listener, IPPROTO_IPV6, IPV6_FREEBIND, &on, sizeof on) == 0
                              : ::setsockopt(listener, IPPROTO_IP, IP_FREEBIND, &on, sizeof on) == 0;
#else
    return true;
#endif
}

} // namespace

#endif

namespace {

struct ListenAddress {
    sockaddr_storage storage{};
    socklen_t size = 0;
    bool given = false; // an address of its own (IPv6 alone, for IPv6) rather than every interface

    int Family() const { return storage.ss_family; }

    template <typename Native>
    void Store(const Native& native)
    {
        std::memcpy(&storage, &native, sizeof native);
        size = sizeof native;
    }
};

ListenAddress MakeListenAddress(const IpAddress& ip, quint16 port, bool given)
{
    ListenAddress address;
    address.given = given;
    if (ip.v6) {
        sockaddr_in6 in6{};
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(port);
        std::memcpy(&in6.sin6_addr, ip.bytes.data(), sizeof in6.sin6_addr);
        address.Store(in6);
    } else {
        sockaddr_in in4{};
        in4.sin_family = AF_INET;
        in4.sin_port = htons(port);
        std::memcpy(&in4.sin_addr, ip.bytes.data(), sizeof in4.sin_addr);
        address.Store(in4);
    }
    return address;
}

bool SetOption(NativeHandle socket, int level, int name, int value)
{
    return ::setsockopt(socket, level, name, reinterpret_cast<const char*>(&value), sizeof value) == 0;
}

OwnedDescriptor OpenListener(const ListenAddress& address, int backlog, int& error)
{
    const NativeHandle opened = OpenSocket(address.Family());
    OwnedDescriptor listener(static_cast<qintptr>(opened));
    if (!listener.IsValid()) {
        error = LastError();
        return {};
    }
    // Accepted connections inherit SO_OOBINLINE: an urgent byte stays in the request, where it always was.
    if (!AllowQuickRestart(opened) || !SetOption(opened, SOL_SOCKET, SO_OOBINLINE, 1)
        || (address.Family() == AF_INET6 && !SetOption(opened, IPPROTO_IPV6, IPV6_V6ONLY, address.given ? 1 : 0))
        || (address.given && !AllowAddressNotUpYet(opened, address.Family()))
        || ::bind(opened, reinterpret_cast<const sockaddr*>(&address.storage), address.size) != 0
        || ::listen(opened, backlog) != 0) {
        error = LastError();
        return {};
    }
    return listener;
}

std::string ListenErrorText(int error)
{
    switch (error) {
    case kAddressInUse:
        return "The bound address is already in use";
    case kAddressProtected:
        return "The address is protected";
    case kAddressNotAvailable:
        return "The address is not available";
    default:
        return std::system_category().message(error);
    }
}

} // namespace

OwnedDescriptor& OwnedDescriptor::operator=(OwnedDescriptor&& other) noexcept
{
    if (this != &other) {
        if (IsValid())
            CloseDescriptor(m_descriptor);
        m_descriptor = other.Release();
    }
    return *this;
}

OwnedDescriptor::~OwnedDescriptor()
{
    if (IsValid())
        CloseDescriptor(m_descriptor);
}

ListenResult NativeListen(const std::string& address, quint16 port, int backlog)
{
    const bool everyInterface = address.empty();
    const std::optional<IpAddress> ip = ParseIpAddress(everyInterface ? "::" : address);
    if (!ip)
        return {{}, ListenErrorText(kAddressNotAvailable)};
    // A given IPv6 address serves IPv6 alone; every interface takes IPv4 too, on the same socket.
    int error = 0;
    OwnedDescriptor listener = OpenListener(MakeListenAddress(*ip, port, !everyInterface), backlog, error);
    if (!listener.IsValid() && everyInterface && error == kNoIpv6)
        listener = OpenListener(MakeListenAddress(IpAddress{}, port, false), backlog, error);
    if (!listener.IsValid())
        return {{}, ListenErrorText(error)};
    return {std::move(listener), {}};
}

quint16 NativeLocalPort(qintptr descriptor)
{
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    if (::getsockname(static_cast<NativeHandle>(descriptor), reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return 0;
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

} // namespace pontivo
