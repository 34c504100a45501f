#include "NativeSocket.h"

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <cerrno>
#include <fcntl.h>
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

} // namespace

#ifdef Q_OS_WIN

namespace {

bool WouldBlock()
{
    return ::WSAGetLastError() == WSAEWOULDBLOCK;
}

} // namespace

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

bool WouldBlock(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK;
}

int AcceptNonBlocking(int listener)
{
#ifdef Q_OS_LINUX
    return ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
#else
    const int accepted = ::accept(listener, nullptr, nullptr);
    if (accepted >= 0) {
        ::fcntl(accepted, F_SETFL, ::fcntl(accepted, F_GETFL) | O_NONBLOCK);
        ::fcntl(accepted, F_SETFD, FD_CLOEXEC);
    }
    return accepted;
#endif
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

void RaiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= kWantedDescriptors)
        return;
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, kWantedDescriptors);
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

#endif

} // namespace pontivo
