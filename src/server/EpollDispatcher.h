#pragma once

#include <QAbstractEventDispatcher>
#include <QAtomicInt>

#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

struct epoll_event;

namespace pontivo {

// The headless server's event loop: one epoll set for every socket notifier (the connection
// pool's own set is one of them), and an ordered list of timers. Qt's own loop rebuilds and
// polls its whole descriptor list at every turn.
class EpollDispatcher : public QAbstractEventDispatcher {
    Q_OBJECT

public:
    explicit EpollDispatcher(QObject* parent = nullptr);
    ~EpollDispatcher() override;
    // Empty when the loop can run; else what the system refused, in words.
    const std::string& Failure() const { return m_failure; }

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;
    void registerSocketNotifier(QSocketNotifier* notifier) override;
    void unregisterSocketNotifier(QSocketNotifier* notifier) override;
    void registerTimer(int timerId, qint64 interval, Qt::TimerType timerType, QObject* object) override;
    bool unregisterTimer(int timerId) override;
    bool unregisterTimers(QObject* object) override;
    QList<TimerInfo> registeredTimers(QObject* object) const override;
    int remainingTime(int timerId) override;
    void wakeUp() override;
    void interrupt() override;

private:
    using Notifiers = std::array<QSocketNotifier*, 3>; // read, write, exception
    struct Timer {
        qint64 intervalMs;
        Qt::TimerType type;
        QObject* object;
        std::int64_t dueMs;
    };

    // New with each change of a descriptor's notifiers, so that an event read before the change
    // (a descriptor closed and its number taken again in the same wake) reaches no one: the
    // set reports a condition that still holds at the next wait.
    struct Watch {
        Notifiers notifiers;
        std::uint32_t generation;
    };

    // A notifier that one ready descriptor wakes.
    struct Pending {
        QSocketNotifier* notifier;
        int descriptor;
        std::uint32_t generation;
    };

    void Apply(int descriptor, Watch& watch, bool known);
    void Control(int descriptor, std::uint64_t tag, std::uint32_t interest, bool known);
    int WaitMs(bool mayWait) const;
    bool ActivateNotifiers(const epoll_event* events, int ready, bool excluded);
    std::size_t Collect(const epoll_event& event, Pending* pending);
    bool Activate(const Pending& pending);
    bool ActivateTimers();
    void Schedule(int timerId, Timer& timer, std::int64_t dueMs);

    std::string m_failure;
    int m_epoll = -1;
    int m_wake = -1; // an eventfd: wakeUp from any thread
    QAtomicInt m_wakePending;
    QAtomicInt m_interrupted;
    std::unordered_map<int, Watch> m_notifiers;
    std::uint32_t m_generation = 0;
    std::unordered_map<int, Timer> m_timers;
    std::set<std::pair<std::int64_t, int>> m_dueOrder; // (due, timer id)
};

// Makes it the loop of the application object about to be made, unless PONTIVO_EVENT_LOOP=qt
// asks for Qt's own or the system refuses it (said on standard error). False: Qt's loop it is.
bool InstallEpollDispatcher();

} // namespace pontivo
