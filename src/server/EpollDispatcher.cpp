#include "server/EpollDispatcher.h"

#include "net/MonotonicClock.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <memory>
#include <system_error>

namespace pontivo {
namespace {

constexpr int kMaxEvents = 256;
// Read, write, exception: what each notifier type waits for, and what wakes it. A hang-up or
// an error wakes all three, so that whoever waits learns of it.
constexpr std::array<std::uint32_t, 3> kInterest{EPOLLIN, EPOLLOUT, EPOLLPRI};
constexpr std::uint32_t kTrouble = EPOLLHUP | EPOLLERR;

std::string LastError()
{
    return std::system_category().message(errno);
}

} // namespace

EpollDispatcher::EpollDispatcher(QObject* parent)
    : QAbstractEventDispatcher(parent)
    , m_epoll(::epoll_create1(EPOLL_CLOEXEC))
    , m_wake(m_epoll < 0 ? -1 : ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = static_cast<std::uint64_t>(m_wake);
    if (m_epoll < 0)
        m_failure = "epoll_create1: " + LastError();
    else if (m_wake < 0)
        m_failure = "eventfd: " + LastError();
    else if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &event) != 0)
        m_failure = "epoll_ctl: " + LastError();
}

// A failed close still releases the number: nothing to do about one.
EpollDispatcher::~EpollDispatcher()
{
    if (m_wake >= 0)
        ::close(m_wake);
    if (m_epoll >= 0)
        ::close(m_epoll);
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
            // Fails only when the count is zero already: then there is nothing to drain.
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
    const auto descriptor = static_cast<int>(event.data.u64 & 0xffffffffu);
    const auto generation = static_cast<std::uint32_t>(event.data.u64 >> 32);
    const auto found = m_notifiers.find(descriptor);
    if (found == m_notifiers.end() || found->second.generation != generation)
        return 0;
    std::size_t count = 0;
    for (std::size_t type = 0; type < kInterest.size(); ++type) {
        if (found->second.notifiers[type] && (event.events & (kInterest[type] | kTrouble)))
            pending[count++] = Pending{found->second.notifiers[type], descriptor, generation};
    }
    return count;
}

// Skipped when an earlier activation of the same wake changed the descriptor's notifiers.
bool EpollDispatcher::Activate(const Pending& pending)
{
    const auto found = m_notifiers.find(pending.descriptor);
    if (found == m_notifiers.end() || found->second.generation != pending.generation)
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
    Watch& watch = known ? found->second : m_notifiers[descriptor];
    if (!known)
        watch.notifiers.fill(nullptr);
    watch.notifiers[static_cast<std::size_t>(notifier->type())] = notifier;
    Apply(descriptor, watch, known);
}

void EpollDispatcher::unregisterSocketNotifier(QSocketNotifier* notifier)
{
    const int descriptor = static_cast<int>(notifier->socket());
    const auto found = m_notifiers.find(descriptor);
    if (found == m_notifiers.end())
        return;
    QSocketNotifier*& slot = found->second.notifiers[static_cast<std::size_t>(notifier->type())];
    if (slot != notifier)
        return;
    slot = nullptr;
    Apply(descriptor, found->second, true);
}

void EpollDispatcher::Apply(int descriptor, Watch& watch, bool known)
{
    std::uint32_t interest = 0;
    for (std::size_t type = 0; type < kInterest.size(); ++type)
        interest |= watch.notifiers[type] ? kInterest[type] : 0u;
    if (interest == 0) {
        // Fails only for a descriptor closed before its notifier went, which has left the set already.
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, descriptor, nullptr);
        m_notifiers.erase(descriptor);
        return;
    }
    // Never 0, which would make the tag that of the wake-up descriptor.
    watch.generation = ++m_generation == 0 ? ++m_generation : m_generation;
    Control(descriptor, static_cast<std::uint32_t>(descriptor) | std::uint64_t{watch.generation} << 32, interest, known);
}

// A descriptor closed while watched has left the set already, and its number may be back.
void EpollDispatcher::Control(int descriptor, std::uint64_t tag, std::uint32_t interest, bool known)
{
    epoll_event event{};
    event.events = interest;
    event.data.u64 = tag;
    if (::epoll_ctl(m_epoll, known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, descriptor, &event) == 0)
        return;
    if ((errno == ENOENT || errno == EEXIST)
        && ::epoll_ctl(m_epoll, errno == ENOENT ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, descriptor, &event) == 0)
        return;
    qWarning("EpollDispatcher: descriptor %d cannot be watched: %s", descriptor, LastError().c_str());
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
    // Fails only when the count would overflow, that is with wakes pending anyway.
    [[maybe_unused]] const auto written = ::write(m_wake, &one, sizeof one);
}

void EpollDispatcher::interrupt()
{
    m_interrupted.storeRelaxed(1);
    wakeUp();
}

bool InstallEpollDispatcher()
{
    if (qgetenv("PONTIVO_EVENT_LOOP") == "qt")
        return false;
    auto dispatcher = std::make_unique<EpollDispatcher>();
    if (!dispatcher->Failure().empty()) {
        std::fprintf(stderr, "pontivo: the event loop cannot start (%s); Qt's is used instead\n",
                     dispatcher->Failure().c_str());
        return false;
    }
    QCoreApplication::setEventDispatcher(dispatcher.release()); // Qt owns it from here
    return true;
}

} // namespace pontivo
