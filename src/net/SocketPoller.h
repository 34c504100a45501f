#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <cstdint>
#include <memory>
#include <string>
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

// Waits on the pool's connections through the one event loop, whichever it is. On Linux they
// sit in an epoll set of their own behind a single notifier, so a wake costs what is ready
// rather than everything open; elsewhere each gets notifiers of its own.
class SocketPoller : public QObject {
public:
    explicit SocketPoller(QObject* parent = nullptr);
    ~SocketPoller() override;
    SocketPoller(const SocketPoller&) = delete;
    SocketPoller& operator=(const SocketPoller&) = delete;

    // Empty when connections can be watched; else why not (the system refused the epoll set).
    const std::string& Failure() const { return m_failure; }
    // Starts, changes or (neither) stops watching. Unchanged wishes cost nothing. False when the
    // system refused: the descriptor is then not watched, and the caller closes it.
    [[nodiscard]] bool Watch(qintptr descriptor, PollClient& client, bool read, bool write);
    // Before the descriptor is closed (`closing`: the close itself takes it out) or handed on.
    void Forget(qintptr descriptor, bool closing);

private:
    struct Watched {
        PollClient* client;
        bool read;
        bool write;
        // New with each watch: an event read before the descriptor was closed and its number
        // taken again must not reach the new owner.
        std::uint32_t generation;
#ifndef Q_OS_LINUX
        // Deleted later: a notifier may be forgotten inside its own call.
        struct DeleteLater {
            void operator()(QSocketNotifier* notifier) const
            {
                notifier->setEnabled(false);
                notifier->deleteLater();
            }
        };
        std::unique_ptr<QSocketNotifier, DeleteLater> readNotifier{};
        std::unique_ptr<QSocketNotifier, DeleteLater> writeNotifier{};
#endif
    };
    bool Apply(qintptr descriptor, Watched& watched, bool added);
    void Dispatch();
    void Tell(qintptr descriptor, std::uint32_t generation, bool readable, bool writable);

    std::unordered_map<qintptr, Watched> m_watched;
    std::uint32_t m_generation = 0;
    std::string m_failure;
#ifdef Q_OS_LINUX
    int m_epoll = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
#endif
};

} // namespace pontivo
