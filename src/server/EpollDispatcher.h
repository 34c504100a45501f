#pragma once

#include "DescriptorHub.h"

#include <QAbstractEventDispatcher>

#include <QAtomicInt>

#include <array>
#include <cstdint>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

struct epoll_event;

namespace pontivo {

// The headless server's event loop: one epoll set for every socket notifier and every
// connection, and an ordered list of timers. Qt's own loop rebuilds and polls its whole
// descriptor list at every turn, which is most of what the loop costs when each request is a
// new connection.
class EpollDispatcher : public QAbstractEventDispatcher, public DescriptorHub {
    Q_OBJECT

public:
    explicit EpollDispatcher(QObject* parent = nullptr);
    ~EpollDispatcher() override;
    // False when the system refused the epoll set or the wake-up descriptor.
    bool Valid() const;

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
    void WatchDescriptor(int descriptor, bool read, bool write, bool added, ReadyClient& client) override;
    void ForgetDescriptor(int descriptor, bool closing) override;

private:
    using Notifiers = std::array<QSocketNotifier*, 3>; // read, write, exception
    struct Timer {
        qint64 intervalMs;
        Qt::TimerType type;
        QObject* object;
        std::int64_t dueMs;
    };

    // Whom one ready descriptor tells: a notifier, or a client of the hub.
    struct Pending {
        QSocketNotifier* notifier;
        ReadyClient* client;
        int descriptor;
        std::uint32_t events;
    };

    void Apply(int descriptor, const Notifiers& notifiers, bool known);
    void Control(int descriptor, std::uint64_t data, std::uint32_t interest, bool known);
    int WaitMs(bool mayWait) const;
    bool ActivateNotifiers(const epoll_event* events, int ready, bool excluded);
    std::size_t Collect(const epoll_event& event, Pending* pending);
    bool Activate(const Pending& pending);
    bool ActivateTimers();
    void Schedule(int timerId, Timer& timer, std::int64_t dueMs);

    int m_epoll = -1;
    int m_wake = -1; // an eventfd: wakeUp from any thread
    QAtomicInt m_wakePending;
    QAtomicInt m_interrupted;
    std::unordered_map<int, Notifiers> m_notifiers;
    std::unordered_map<int, ReadyClient*> m_clients;
    std::unordered_map<int, Timer> m_timers;
    std::set<std::pair<std::int64_t, int>> m_dueOrder; // (due, timer id)
};

} // namespace pontivo
