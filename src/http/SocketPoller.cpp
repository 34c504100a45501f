#include "SocketPoller.h"

#ifdef Q_OS_LINUX
#include <QAbstractEventDispatcher>

#include <sys/epoll.h>
#include <unistd.h>
#endif

#include <array>

namespace pontivo {

SocketPoller::SocketPoller(QObject* parent)
    : QObject(parent)
{
#ifdef Q_OS_LINUX
    m_hub = dynamic_cast<DescriptorHub*>(QAbstractEventDispatcher::instance(thread()));
    if (m_hub)
        return;
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    m_notifier = std::make_unique<QSocketNotifier>(m_epoll, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &SocketPoller::Dispatch);
#endif
}

SocketPoller::~SocketPoller()
{
#ifdef Q_OS_LINUX
    if (m_hub) {
        // The loop outlives this: it must not call back for what is still watched.
        for (const auto& entry : m_watched)
            m_hub->ForgetDescriptor(static_cast<int>(entry.first), false);
    }
    m_notifier.reset();
    if (m_epoll >= 0)
        ::close(m_epoll);
#endif
}

void SocketPoller::Watch(qintptr descriptor, PollClient& client, bool read, bool write)
{
    const auto found = m_watched.find(descriptor);
    if (found == m_watched.end()) {
        if (read || write)
            Apply(descriptor, m_watched[descriptor] = Watched{&client, read, write}, true);
        return;
    }
    if (!read && !write) {
        Forget(descriptor, false);
        return;
    }
    if (found->second.read == read && found->second.write == write)
        return;
    found->second.read = read;
    found->second.write = write;
    Apply(descriptor, found->second, false);
}

void SocketPoller::Forget(qintptr descriptor, bool closing)
{
    const auto found = m_watched.find(descriptor);
    if (found == m_watched.end())
        return;
#ifdef Q_OS_LINUX
    if (m_hub)
        m_hub->ForgetDescriptor(static_cast<int>(descriptor), closing);
    else if (!closing)
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, static_cast<int>(descriptor), nullptr);
#else
    Q_UNUSED(closing);
#endif
    m_watched.erase(found);
}

void SocketPoller::Tell(qintptr descriptor, bool readable, bool writable)
{
    // Looked up again before each call: the first may have closed or reused the descriptor.
    auto found = m_watched.find(descriptor);
    if (readable && found != m_watched.end() && found->second.read)
        found->second.client->OnReadable();
    found = m_watched.find(descriptor);
    if (writable && found != m_watched.end() && found->second.write)
        found->second.client->OnWritable();
}

#ifdef Q_OS_LINUX

void SocketPoller::Apply(qintptr descriptor, Watched& watched, bool added)
{
    if (m_hub) {
        m_hub->WatchDescriptor(static_cast<int>(descriptor), watched.read, watched.write, added, *this);
        return;
    }
    epoll_event event{};
    event.events = (watched.read ? EPOLLIN : 0u) | (watched.write ? EPOLLOUT : 0u);
    event.data.fd = static_cast<int>(descriptor);
    ::epoll_ctl(m_epoll, added ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, static_cast<int>(descriptor), &event);
}

void SocketPoller::Dispatch()
{
    std::array<epoll_event, 128> events;
    const int ready = ::epoll_wait(m_epoll, events.data(), static_cast<int>(events.size()), 0);
    for (int i = 0; i < ready; ++i) {
        const std::uint32_t what = events[static_cast<std::size_t>(i)].events;
        // A hang-up or an error is for the reader and the writer to find out.
        const bool failed = (what & (EPOLLERR | EPOLLHUP)) != 0;
        Tell(events[static_cast<std::size_t>(i)].data.fd, failed || (what & EPOLLIN), failed || (what & EPOLLOUT));
    }
}

#else

void SocketPoller::Apply(qintptr descriptor, Watched& watched, bool added)
{
    if (added) {
        watched.readNotifier.reset(new QSocketNotifier(descriptor, QSocketNotifier::Read));
        watched.writeNotifier.reset(new QSocketNotifier(descriptor, QSocketNotifier::Write));
        connect(watched.readNotifier.get(), &QSocketNotifier::activated, this,
                [this, descriptor] { Tell(descriptor, true, false); });
        connect(watched.writeNotifier.get(), &QSocketNotifier::activated, this,
                [this, descriptor] { Tell(descriptor, false, true); });
    }
    watched.readNotifier->setEnabled(watched.read);
    watched.writeNotifier->setEnabled(watched.write);
}

void SocketPoller::Dispatch() {}

#endif

} // namespace pontivo
