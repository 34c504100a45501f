#include "NativeSocket.h"

#include "IpAddress.h"

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
#include <csignal>
#include <pthread.h>
#include <sys/sendfile.h>
#endif

#include <algorithm>
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
    const SOCKET opened = ::WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    u_long nonBlocking = 1;
    if (opened != INVALID_SOCKET)
        ::ioctlsocket(opened, FIONBIO, &nonBlocking);
    return opened;
}

// There SO_REUSEADDR would let a second server take a port in use.
void AllowQuickRestart(SOCKET) {}

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
    const SOCKET accepted = ::accept(static_cast<SOCKET>(listener), nullptr, nullptr);
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
    u_long nonBlocking = 1;
    ::ioctlsocket(accepted, FIONBIO, &nonBlocking);
    return {AcceptOutcome::Accepted, static_cast<qintptr>(accepted)};
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

void ShutdownSending(qintptr descriptor)
{
    ::shutdown(static_cast<SOCKET>(descriptor), SD_SEND);
}

void CloseDescriptor(qintptr descriptor)
{
    ::closesocket(static_cast<SOCKET>(descriptor));
}

void RaiseDescriptorLimit() {}

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

[[maybe_unused]] int MakeNonBlocking(int descriptor)
{
    if (descriptor >= 0) {
        ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) | O_NONBLOCK);
        ::fcntl(descriptor, F_SETFD, FD_CLOEXEC);
    }
    return descriptor;
}

int AcceptNonBlocking(int listener)
{
#ifdef Q_OS_LINUX
    return ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
#else
    return MakeNonBlocking(::accept(listener, nullptr, nullptr));
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
void AllowQuickRestart(int listener)
{
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

#ifdef Q_OS_LINUX
// sendfile has no MSG_NOSIGNAL: to a peer that has reset the connection it raises SIGPIPE,
// which would end the program. The signal is held back on this thread for the call, and
// one raised meanwhile (also by a call that sent part of its bytes) is taken away.
ssize_t SendFileQuietly(int socket, int file, off_t* offset, std::size_t size, int& error)
{
    sigset_t onlyPipe;
    sigemptyset(&onlyPipe);
    sigaddset(&onlyPipe, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    const bool pendingBefore = sigismember(&pending, SIGPIPE) == 1;
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &onlyPipe, &previous);
    const ssize_t n = ::sendfile(socket, file, offset, size);
    error = errno;
    sigpending(&pending);
    if (!pendingBefore && sigismember(&pending, SIGPIPE) == 1) {
        const timespec now{0, 0};
        ::sigtimedwait(&onlyPipe, nullptr, &now);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return n;
}
#endif

} // namespace

AcceptResult NativeAccept(qintptr listener)
{
    for (;;) {
        const int accepted = AcceptNonBlocking(static_cast<int>(listener));
        if (accepted >= 0)
            return {AcceptOutcome::Accepted, accepted};
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
        int error = 0;
        const ssize_t n = SendFileQuietly(static_cast<int>(descriptor), ::fileno(body.file.get()), &offset, wanted,
                                          error);
        if (n > 0)
            return {IoOutcome::Transferred, static_cast<std::size_t>(n)};
        if (n == 0)
            return {IoOutcome::Failed};
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

void ShutdownSending(qintptr descriptor)
{
    ::shutdown(static_cast<int>(descriptor), SHUT_WR);
}

void CloseDescriptor(qintptr descriptor)
{
    ::close(static_cast<int>(descriptor));
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

void RaiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= kWantedDescriptors)
        return;
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, kWantedDescriptors);
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

#endif

namespace {

struct ListenAddress {
    sockaddr_storage storage{};
    socklen_t size = 0;
    bool v6Only = false;

    int Family() const { return storage.ss_family; }

    template <typename Native>
    void Store(const Native& native)
    {
        std::memcpy(&storage, &native, sizeof native);
        size = sizeof native;
    }
};

ListenAddress MakeListenAddress(const IpAddress& ip, quint16 port, bool v6Only)
{
    ListenAddress address;
    address.v6Only = v6Only;
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

OwnedDescriptor OpenListener(const ListenAddress& address, int backlog, int& error)
{
    const NativeHandle opened = OpenSocket(address.Family());
    OwnedDescriptor listener(static_cast<qintptr>(opened));
    if (!listener.IsValid()) {
        error = LastError();
        return {};
    }
    AllowQuickRestart(opened);
    // Accepted connections inherit it: an urgent byte stays in the request, where it always was.
    const int on = 1;
    ::setsockopt(opened, SOL_SOCKET, SO_OOBINLINE, reinterpret_cast<const char*>(&on), sizeof on);
    if (address.Family() == AF_INET6) {
        const int v6Only = address.v6Only ? 1 : 0;
        ::setsockopt(opened, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&v6Only), sizeof v6Only);
    }
    if (::bind(opened, reinterpret_cast<const sockaddr*>(&address.storage), address.size) != 0
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
