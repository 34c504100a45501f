#pragma once

#include "DescriptorHub.h"

#include <QObject>
#include <QSocketNotifier>

#include <cstdint>
#include <memory>
#include <unordered_map>

namespace pontivo {

// Told when a watched socket can be read or written.
class PollClient {
public:
    virtual void OnReadable() = 0;
    virtual void OnWritable() = 0;

protected:
    ~PollClient() = default;
};

// Waits on the pool's connections through the one event loop. On Linux they sit in the
// loop's own epoll set when it has one (the headless program), else in an epoll set behind a
// single notifier, so a wake costs what is ready rather than everything open; elsewhere each
// gets notifiers of its own.
class SocketPoller : public QObject, private ReadyClient {
public:
    explicit SocketPoller(QObject* parent = nullptr);
    ~SocketPoller() override;
    SocketPoller(const SocketPoller&) = delete;
    SocketPoller& operator=(const SocketPoller&) = delete;

    // Starts, changes or (neither) stops watching. Unchanged wishes cost nothing.
    void Watch(qintptr descriptor, PollClient& client, bool read, bool write);
    // Before the descriptor is closed (`closing`: the close itself takes it out) or handed on.
    void Forget(qintptr descriptor, bool closing);

private:
    struct Watched {
        PollClient* client;
        bool read;
        bool write;
#ifndef Q_OS_LINUX
        // Deleted later: a notifier may be forgotten inside its own call.
        struct DeleteLater {
            void operator()(QSocketNotifier* notifier) const
            {
                notifier->setEnabled(false);
                notifier->deleteLater();
            }
        };
        std::unique_ptr<QSocketNotifier, DeleteLater> readNotifier;
        std::unique_ptr<QSocketNotifier, DeleteLater> writeNotifier;
#endif
    };
    void Apply(qintptr descriptor, Watched& watched, bool added);
    void Dispatch();
    void Tell(qintptr descriptor, bool readable, bool writable);
    void OnReady(int descriptor, bool readable, bool writable) override { Tell(descriptor, readable, writable); }

    std::unordered_map<qintptr, Watched> m_watched;
#ifdef Q_OS_LINUX
    DescriptorHub* m_hub = nullptr;
    int m_epoll = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
#endif
};

} // namespace pontivo
