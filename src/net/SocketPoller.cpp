#include "net/SocketPoller.h"

#ifdef Q_OS_LINUX
#include <sys/epoll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <system_error>
#endif

namespace pontivo {

SocketPoller::SocketPoller(QObject* parent)
    : QObject(parent)
{
#ifdef Q_OS_LINUX
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (m_epoll < 0) {
        m_failure = "The connections cannot be watched: " + std::system_category().message(errno);
        return;
    }
    m_notifier = std::make_unique<QSocketNotifier>(m_epoll, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &SocketPoller::Dispatch);
#endif
}

SocketPoller::~SocketPoller()
{
#ifdef Q_OS_LINUX
    // The notifier leaves the loop before its descriptor closes.
    m_notifier.reset();
    if (m_epoll >= 0)
        ::close(m_epoll); // nothing to do about a failure: the number is released either way
#endif
}

bool SocketPoller::Watch(qintptr descriptor, PollClient& client, bool read, bool write)
{
    if (!read && !write) {
        Forget(descriptor, false);
        return true;
    }
    auto found = m_watched.find(descriptor);
    const bool added = found == m_watched.end();
    if (added)
        found = m_watched.emplace(descriptor, Watched{&client, read, write, ++m_generation}).first;
    else if (found->second.read == read && found->second.write == write)
        return true;
    found->second.read = read;
    found->second.write = write;
    if (Apply(descriptor, found->second, added))
        return true;
    // Left in the set with its old wishes at worst, until the caller's close takes it out.
    m_watched.erase(found);
    return false;
}

void SocketPoller::Forget(qintptr descriptor, bool closing)
{
    const auto found = m_watched.find(descriptor);
    if (found == m_watched.end())
        return;
#ifdef Q_OS_LINUX
    // Fails only for a descriptor the set no longer holds; what it might still report is
    // dropped in Tell, since it is no longer in the map.
    if (!closing)
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, static_cast<int>(descriptor), nullptr);
#else
    Q_UNUSED(closing);
#endif
    m_watched.erase(found);
}

void SocketPoller::Tell(qintptr descriptor, std::uint32_t generation, bool readable, bool writable)
{
    // Looked up again before each call: the first may have closed or reused the descriptor.
    const auto current = [&] {
        const auto found = m_watched.find(descriptor);
        return found != m_watched.end() && found->second.generation == generation ? &found->second : nullptr;
    };
    if (const Watched* watched = current(); readable && watched && watched->read)
        watched->client->OnReadable();
    if (const Watched* watched = current(); writable && watched && watched->write)
        watched->client->OnWritable();
}

#ifdef Q_OS_LINUX

bool SocketPoller::Apply(qintptr descriptor, Watched& watched, bool added)
{
    epoll_event event{};
    event.events = (watched.read ? EPOLLIN : 0u) | (watched.write ? EPOLLOUT : 0u);
    event.data.u64 = static_cast<std::uint32_t>(descriptor) | std::uint64_t{watched.generation} << 32;
    return ::epoll_ctl(m_epoll, added ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, static_cast<int>(descriptor), &event) == 0;
}

void SocketPoller::Dispatch()
{
    std::array<epoll_event, 128> events;
    // -1 only when a signal came first: the set is still ready, and the notifier fires again.
    const int ready = ::epoll_wait(m_epoll, events.data(), static_cast<int>(events.size()), 0);
    for (int i = 0; i < ready; ++i) {
        const std::uint32_t what = events[static_cast<std::size_t>(i)].events;
        // A hang-up or an error is for the reader and the writer to find out.
        const bool failed = (what & (EPOLLERR | EPOLLHUP)) != 0;
        const std::uint64_t tag = events[static_cast<std::size_t>(i)].data.u64;
        Tell(static_cast<int>(tag & 0xffffffffu), static_cast<std::uint32_t>(tag >> 32), failed || (what & EPOLLIN),
             failed || (what & EPOLLOUT));
    }
}

#else

bool SocketPoller::Apply(qintptr descriptor, Watched& watched, bool added)
{
    if (added) {
        watched.readNotifier.reset(new QSocketNotifier(descriptor, QSocketNotifier::Read));
        watched.writeNotifier.reset(new QSocketNotifier(descriptor, QSocketNotifier::Write));
        const std::uint32_t generation = watched.generation;
        connect(watched.readNotifier.get(), &QSocketNotifier::activated, this,
                [this, descriptor, generation] { Tell(descriptor, generation, true, false); });
        connect(watched.writeNotifier.get(), &QSocketNotifier::activated, this,
                [this, descriptor, generation] { Tell(descriptor, generation, false, true); });
    }
    watched.readNotifier->setEnabled(watched.read);
    watched.writeNotifier->setEnabled(watched.write);
    return true;
}

void SocketPoller::Dispatch() {}

#endif

} // namespace pontivo
