#include "NativeAccept.h"

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace pontivo {

#ifdef Q_OS_WIN

AcceptResult NativeAccept(qintptr listener)
{
    const SOCKET accepted = ::accept(static_cast<SOCKET>(listener), nullptr, nullptr);
    if (accepted != INVALID_SOCKET)
        return {AcceptOutcome::Accepted, static_cast<qintptr>(accepted)};
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

void CloseDescriptor(qintptr descriptor)
{
    ::closesocket(static_cast<SOCKET>(descriptor));
}

#else

AcceptResult NativeAccept(qintptr listener)
{
    for (;;) {
        const int accepted = ::accept(static_cast<int>(listener), nullptr, nullptr);
        if (accepted >= 0)
            return {AcceptOutcome::Accepted, accepted};
        switch (errno) {
        case EINTR:
            continue;
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
            return {AcceptOutcome::NothingPending};
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            return {AcceptOutcome::OutOfResources};
        default:
            // A connection aborted before it was taken: the next one may be fine.
            return {AcceptOutcome::Failed};
        }
    }
}

void CloseDescriptor(qintptr descriptor)
{
    ::close(static_cast<int>(descriptor));
}

#endif

} // namespace pontivo
