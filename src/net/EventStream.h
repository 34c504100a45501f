#pragma once

#include "http/EventText.h"
#include "store/LikePattern.h"
#include "net/SocketPoller.h"

#include <QObject>

#include <functional>
#include <string>
#include <string_view>

namespace pontivo {

// An event as every stream that wants it sends it: its id, and its text without the id line.
struct StreamEvent {
    std::string_view id;
    std::string_view text;
};

// One client's event stream on a descriptor taken over from the connection pool. Events go
// out as they come while the socket takes them; once it does not, they wait merged, so a
// reader that falls behind costs memory in proportion to the store, not to the traffic.
class EventStream : public QObject, private PollClient {
    Q_OBJECT

public:
    // Appends what a new stream with this pattern is sent after its head.
    using Snapshot = std::function<void(const LikePattern& pattern, std::string& out)>;

    EventStream(qintptr descriptor, std::string client, std::string_view pattern, std::string firstBytes,
                qint64 nowMs, SocketPoller& poller, const Snapshot& snapshot, QObject* parent);
    ~EventStream() override;

    bool Wants(std::string_view name) const { return m_pattern.Matches(name); }
    bool Scans() const { return m_pattern.Scans(); }
    const std::string& Client() const { return m_client; }
    void Set(std::string_view name, std::string_view value, const StreamEvent& event, qint64 nowMs);
    void Unset(std::string_view name, const StreamEvent& event, qint64 nowMs);
    void Reset(const StreamEvent& event, qint64 nowMs);
    void Link(std::string_view state, const StreamEvent& event, qint64 nowMs);
    // Sends what waits, as far as the socket takes it. The first call starts watching the socket.
    void Flush();
    // A comment after a quiet spell keeps proxies from dropping the connection; a reader
    // that has taken nothing for too long while events wait is let go.
    void Tick(qint64 nowMs, int pingMs, int stalledMs);
    void Close();
    std::size_t HeldBytes() const { return m_out.capacity() + m_pending.HeldBytes() + m_pattern.HeldBytes(); }

signals:
    void sent();
    void closed(EventStream* stream);

private:
    // Straight into the outgoing bytes, or merged into what waits.
    template <typename Merge>
    void Queue(qint64 nowMs, const StreamEvent& event, Merge merge);
    void WatchFor(bool write);
    void OnReadable() override;
    void OnWritable() override { Flush(); }

    qintptr m_descriptor;
    const std::string m_client;
    const LikePattern m_pattern;
    // Shared with the pool: a thousand idle streams must not cost every turn of the loop.
    SocketPoller& m_poller;
    const Snapshot& m_snapshot;
    std::string m_out;
    std::size_t m_sent = 0;
    PendingEvents m_pending;
    bool m_blocked = false;    // the socket would take no more at the last try
    qint64 m_lastEventMs;      // of the last event or ping queued
    qint64 m_lastProgressMs;   // of the last bytes the socket took, or of falling behind
};

} // namespace pontivo
