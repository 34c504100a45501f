#include "EpollDispatcher.h"

#include "MonotonicClock.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace pontivo {
namespace {

constexpr int kMaxEvents = 256;
// Read, write, exception: what each notifier type waits for, and what wakes it. A hang-up or
// an error wakes all three, so that whoever waits learns of it.
constexpr std::array<std::uint32_t, 3> kInterest{EPOLLIN, EPOLLOUT, EPOLLPRI};
constexpr std::uint32_t kTrouble = EPOLLHUP | EPOLLERR;
// Marks a hub client's descriptor in the event data; a notifier's carries the bare number.
constexpr std::uint64_t kClientTag = std::uint64_t{1} << 32;

} // namespace

EpollDispatcher::EpollDispatcher(QObject* parent)
    : QAbstractEventDispatcher(parent)
    , m_epoll(::epoll_create1(EPOLL_CLOEXEC))
    , m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = static_cast<std::uint64_t>(m_wake);
    ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &event);
}

EpollDispatcher::~EpollDispatcher()
{
    ::close(m_wake);
    ::close(m_epoll);
}

bool EpollDispatcher::Valid() const
{
    return m_epoll >= 0 && m_wake >= 0;
}

bool EpollDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags)
{
    m_interrupted.storeRelaxed(0);
    emit awake();
    QCoreApplication::sendPostedEvents();
    const int waitMs = WaitMs((flags & QEventLoop::WaitForMoreEvents) && !m_interrupted.loadRelaxed());
    if (waitMs != 0)
        emit aboutToBlock();
    std::array<epoll_event, kMaxEvents> events;
    const int ready = ::epoll_wait(m_epoll, events.data(), kMaxEvents, waitMs);
    if (waitMs != 0)
        emit awake();
    bool handled = ActivateNotifiers(events.data(), ready, flags.testFlag(QEventLoop::ExcludeSocketNotifiers));
    if (!(flags & QEventLoop::X11ExcludeTimers))
        handled = ActivateTimers() || handled;
    return handled;
}

// The wake-up descriptor counts as handled; socket notifiers are skipped when excluded.
bool EpollDispatcher::ActivateNotifiers(const epoll_event* events, int ready, bool excluded)
{
    bool handled = false;
    // Collected first: each activation may close, open or reuse descriptors.
    std::array<Pending, 3 * kMaxEvents> pending;
    std::size_t count = 0;
    for (int i = 0; i < ready; ++i) { // -1 when a signal interrupted the wait
        const epoll_event& event = events[i];
        if (event.data.u64 == static_cast<std::uint64_t>(m_wake)) {
            std::uint64_t wakes = 0;
            [[maybe_unused]] const auto drained = ::read(m_wake, &wakes, sizeof wakes);
            m_wakePending.storeRelease(0);
            handled = true;
        } else if (!excluded) {
            count += Collect(event, pending.data() + count);
        }
    }
    for (std::size_t i = 0; i < count; ++i)
        handled = Activate(pending[i]) || handled;
    return handled;
}

std::size_t EpollDispatcher::Collect(const epoll_event& event, Pending* pending)
{
    const int descriptor = static_cast<int>(event.data.u64 & 0xffffffffu);
    if (event.data.u64 & kClientTag) {
        const auto found = m_clients.find(descriptor);
        if (found == m_clients.end())
            return 0;
        pending[0] = Pending{nullptr, found->second, descriptor, event.events};
        return 1;
    }
    const auto found = m_notifiers.find(descriptor);
    if (found == m_notifiers.end())
        return 0;
    std::size_t count = 0;
    for (std::size_t type = 0; type < kInterest.size(); ++type) {
        if (found->second[type] && (event.events & (kInterest[type] | kTrouble)))
            pending[count++] = Pending{found->second[type], nullptr, descriptor, event.events};
    }
    return count;
}

// Skipped when an earlier activation of the same wake let go of the notifier or descriptor.
bool EpollDispatcher::Activate(const Pending& pending)
{
    if (pending.client) {
        const auto found = m_clients.find(pending.descriptor);
        if (found == m_clients.end() || found->second != pending.client)
            return false;
        const bool trouble = (pending.events & kTrouble) != 0;
        pending.client->OnReady(pending.descriptor, trouble || (pending.events & EPOLLIN),
                                trouble || (pending.events & EPOLLOUT));
        return true;
    }
    const auto found = m_notifiers.find(pending.descriptor);
    if (found == m_notifiers.end()
        || std::find(found->second.begin(), found->second.end(), pending.notifier) == found->second.end())
        return false;
    QEvent event(QEvent::SockAct);
    QCoreApplication::sendEvent(pending.notifier, &event);
    return true;
}

int EpollDispatcher::WaitMs(bool mayWait) const
{
    if (!mayWait)
        return 0;
    if (m_dueOrder.empty())
        return -1;
    const std::int64_t left = m_dueOrder.begin()->first - MonotonicMs();
    return static_cast<int>(std::clamp<std::int64_t>(left, 0, INT_MAX));
}

void EpollDispatcher::registerSocketNotifier(QSocketNotifier* notifier)
{
    const int descriptor = static_cast<int>(notifier->socket());
    const auto found = m_notifiers.find(descriptor);
    const bool known = found != m_notifiers.end();
    Notifiers& notifiers = known ? found->second : m_notifiers[descriptor];
    if (!known)
        notifiers.fill(nullptr);
    notifiers[static_cast<std::size_t>(notifier->type())] = notifier;
    Apply(descriptor, notifiers, known);
}

void EpollDispatcher::unregisterSocketNotifier(QSocketNotifier* notifier)
{
    const int descriptor = static_cast<int>(notifier->socket());
    const auto found = m_notifiers.find(descriptor);
    if (found == m_notifiers.end())
        return;
    QSocketNotifier*& slot = found->second[static_cast<std::size_t>(notifier->type())];
    if (slot != notifier)
        return;
    slot = nullptr;
    Apply(descriptor, found->second, true);
}

void EpollDispatcher::Apply(int descriptor, const Notifiers& notifiers, bool known)
{
    std::uint32_t interest = 0;
    for (std::size_t type = 0; type < kInterest.size(); ++type)
        interest |= notifiers[type] ? kInterest[type] : 0u;
    if (interest == 0) {
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, descriptor, nullptr);
        m_notifiers.erase(descriptor);
        return;
    }
    Control(descriptor, static_cast<std::uint32_t>(descriptor), interest, known);
}

// A descriptor closed while watched has left the set already, and its number may be back.
void EpollDispatcher::Control(int descriptor, std::uint64_t data, std::uint32_t interest, bool known)
{
    epoll_event event{};
    event.events = interest;
    event.data.u64 = data;
    if (::epoll_ctl(m_epoll, known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, descriptor, &event) == 0)
        return;
    if (errno == ENOENT || errno == EEXIST)
        ::epoll_ctl(m_epoll, errno == ENOENT ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, descriptor, &event);
}

void EpollDispatcher::WatchDescriptor(int descriptor, bool read, bool write, bool added, ReadyClient& client)
{
    m_clients[descriptor] = &client;
    Control(descriptor, kClientTag | static_cast<std::uint32_t>(descriptor),
            (read ? EPOLLIN : 0u) | (write ? EPOLLOUT : 0u), !added);
}

void EpollDispatcher::ForgetDescriptor(int descriptor, bool closing)
{
    if (m_clients.erase(descriptor) > 0 && !closing)
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, descriptor, nullptr);
}

void EpollDispatcher::registerTimer(int timerId, qint64 interval, Qt::TimerType timerType, QObject* object)
{
    unregisterTimer(timerId);
    Timer& timer = m_timers[timerId] = Timer{interval, timerType, object, 0};
    Schedule(timerId, timer, MonotonicMs() + interval);
}

void EpollDispatcher::Schedule(int timerId, Timer& timer, std::int64_t dueMs)
{
    m_dueOrder.erase({timer.dueMs, timerId});
    timer.dueMs = dueMs;
    m_dueOrder.insert({dueMs, timerId});
}

bool EpollDispatcher::unregisterTimer(int timerId)
{
    const auto found = m_timers.find(timerId);
    if (found == m_timers.end())
        return false;
    m_dueOrder.erase({found->second.dueMs, timerId});
    m_timers.erase(found);
    return true;
}

bool EpollDispatcher::unregisterTimers(QObject* object)
{
    bool any = false;
    for (auto it = m_timers.begin(); it != m_timers.end();) {
        if (it->second.object != object) {
            ++it;
            continue;
        }
        m_dueOrder.erase({it->second.dueMs, it->first});
        it = m_timers.erase(it);
        any = true;
    }
    return any;
}

QList<QAbstractEventDispatcher::TimerInfo> EpollDispatcher::registeredTimers(QObject* object) const
{
    QList<TimerInfo> list;
    for (const auto& [id, timer] : m_timers) {
        if (timer.object == object)
            list.append(TimerInfo(id, static_cast<int>(timer.intervalMs), timer.type));
    }
    return list;
}

int EpollDispatcher::remainingTime(int timerId)
{
    const auto found = m_timers.find(timerId);
    if (found == m_timers.end())
        return -1;
    return static_cast<int>(std::max<std::int64_t>(0, found->second.dueMs - MonotonicMs()));
}

// Each due timer fires once per turn; one that fell behind runs a full interval from now.
bool EpollDispatcher::ActivateTimers()
{
    const std::int64_t now = MonotonicMs();
    std::vector<int> due;
    for (auto it = m_dueOrder.begin(); it != m_dueOrder.end() && it->first <= now; ++it)
        due.push_back(it->second);
    for (const int timerId : due) {
        const auto found = m_timers.find(timerId);
        if (found == m_timers.end() || found->second.dueMs > now)
            continue; // stopped or restarted by an earlier one
        Timer& timer = found->second;
        const std::int64_t next = timer.dueMs + timer.intervalMs;
        Schedule(timerId, timer, next > now ? next : now + timer.intervalMs);
        QTimerEvent event(timerId);
        QCoreApplication::sendEvent(timer.object, &event);
    }
    return !due.empty();
}

void EpollDispatcher::wakeUp()
{
    if (!m_wakePending.testAndSetAcquire(0, 1))
        return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(m_wake, &one, sizeof one);
}

void EpollDispatcher::interrupt()
{
    m_interrupted.storeRelaxed(1);
    wakeUp();
}

} // namespace pontivo
