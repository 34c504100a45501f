#pragma once

#include "store/ChangeListener.h"
#include "http/EventRing.h"
#include "net/ClientCounts.h"
#include "net/EventStream.h"
#include "http/HttpResponse.h"
#include "http/HttpTimings.h"

#include <QObject>
#include <QTimer>

#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace pontivo {

class SocketPoller;
class VariableStore;

// The open event streams, beside the connection pool: the sweep never sees them and they
// hold no request slot. Every change of the store goes to the streams whose pattern matches
// the name; resets and the board's link go to all.
class EventStreams : public QObject, public ChangeListener {
    Q_OBJECT

public:
    using LinkState = std::function<std::string()>;

    EventStreams(VariableStore& store, const HttpTimings& timings, SocketPoller& poller, LinkState linkState,
                 QObject* parent = nullptr);
    ~EventStreams() override;

    // The head given, then the reconnect delay and what the reader is owed: the events after `lastEventId`
    // when they are all still held, else a snapshot (matching variables in store order, then the link),
    // after a reset when the reader had an id. The limit's one-line reason when the streams are at their
    // limit or the pattern is too long to keep.
    std::variant<Response, std::string> Open(const std::string& pattern, std::string head,
                                             std::string_view lastEventId) const;
    // Takes over the connection an Open answer was meant for; when its client holds as many streams as it
    // may, sends the answer's refusal instead and closes it.
    void Adopt(qintptr descriptor, std::string client, Response response);
    void LinkChanged(const std::string& state);
    void CloseAll();
    int Count() const { return static_cast<int>(m_streams.size()); }
    std::size_t HeldBytes() const;

    void VariableSet(const Variable& variable) override;
    void VariableUnset(std::string_view name) override;
    void StoreReset() override;

signals:
    void sent();

private:
    // Keeps the event in the ring under a new id, then hands it to each stream that wants it.
    template <typename Act>
    void ToEach(std::optional<std::string_view> name, std::string text, Act act);
    void Forget(EventStream* stream);
    void Tick();
    void AppendSnapshot(const LikePattern& pattern, std::string& out) const;

    VariableStore& m_store;
    const HttpTimings& m_timings;
    SocketPoller& m_poller;
    LinkState m_linkState;
    EventRing m_ring;
    std::vector<EventStream*> m_streams; // owned as Qt children
    ClientCounts m_clients;
    const EventStream::Snapshot m_snapshot;
    QTimer m_flush;                      // once per turn of the loop, whatever the number of changes
    QTimer m_tick;
};

} // namespace pontivo
