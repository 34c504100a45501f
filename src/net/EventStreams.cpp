#include "net/EventStreams.h"

#include "http/EventText.h"
#include "store/LikePattern.h"
#include "net/MonotonicClock.h"
#include "net/NativeSocket.h"
#include "store/VariableStore.h"

#include <algorithm>

namespace pontivo {

EventStreams::EventStreams(VariableStore& store, const HttpTimings& timings, SocketPoller& poller,
                           LinkState linkState, QObject* parent)
    : QObject(parent)
    , m_store(store)
    , m_timings(timings)
    , m_poller(poller)
    , m_linkState(std::move(linkState))
    , m_snapshot([this](const LikePattern& pattern, std::string& out) { AppendSnapshot(pattern, out); })
{
    m_flush.setSingleShot(true);
    m_flush.setInterval(0);
    connect(&m_flush, &QTimer::timeout, this, [this] {
        for (EventStream* stream : std::vector<EventStream*>(m_streams))
            stream->Flush();
    });
    connect(&m_tick, &QTimer::timeout, this, &EventStreams::Tick);
    m_store.AddListener(*this);
}

EventStreams::~EventStreams()
{
    m_store.RemoveListener(*this);
}

std::optional<Response> EventStreams::Open(const std::string& pattern, std::string head) const
{
    if (Count() >= m_timings.maxStreams || pattern.size() > LikePattern::kMaxBytes)
        return std::nullopt;
    const LikePattern compiled(pattern);
    // Each change walks the whole name once per such stream: a few of them bound the loop's time per change.
    if (compiled.Scans() &&
        std::count_if(m_streams.begin(), m_streams.end(), [](const EventStream* s) { return s->Scans(); }) >=
            kMaxScanningStreams)
        return std::nullopt;
    Response response(std::move(head).append("retry: 1000\n\n"));
    AppendSnapshot(compiled, response.text);
    response.streamPattern = pattern;
    return response;
}

void EventStreams::AppendSnapshot(const LikePattern& pattern, std::string& out) const
{
    m_store.ForEach([&](const std::string& name, const std::string& value) {
        if (pattern.Matches(name))
            AppendSetEvent(out, name, value);
    });
    AppendEvent(out, "link", m_linkState());
}

void EventStreams::Adopt(qintptr descriptor, Response response)
{
    std::string client = NativePeerClient(descriptor);
    if (!m_clients.Take(client, m_timings.perClient.streams)) {
        CloseDescriptor(descriptor);
        return;
    }
    auto* stream = new EventStream(descriptor, std::move(client), *response.streamPattern, std::move(response.text),
                                   MonotonicMs(), m_poller, m_snapshot, this);
    connect(stream, &EventStream::sent, this, &EventStreams::sent);
    connect(stream, &EventStream::closed, this, &EventStreams::Forget);
    m_streams.push_back(stream);
    if (!m_tick.isActive())
        m_tick.start(std::min(m_timings.sweepMs, m_timings.pingMs));
    stream->Flush();
}

template <typename Act>
void EventStreams::ToEach(std::optional<std::string_view> name, Act act)
{
    if (m_streams.empty())
        return;
    const qint64 now = MonotonicMs();
    // A copy: a stream that fails while sending leaves the list.
    for (EventStream* stream : std::vector<EventStream*>(m_streams)) {
        if (!name || stream->Wants(*name))
            act(*stream, now);
    }
    m_flush.start();
}

void EventStreams::VariableSet(const Variable& variable)
{
    ToEach(variable.name, [&](EventStream& stream, qint64 now) { stream.Set(variable.name, variable.value, now); });
}

void EventStreams::VariableUnset(std::string_view name)
{
    ToEach(name, [&](EventStream& stream, qint64 now) { stream.Unset(name, now); });
}

void EventStreams::StoreReset()
{
    ToEach(std::nullopt, [](EventStream& stream, qint64 now) { stream.Reset(now); });
}

void EventStreams::LinkChanged(const std::string& state)
{
    ToEach(std::nullopt, [&](EventStream& stream, qint64 now) { stream.Link(state, now); });
}

void EventStreams::CloseAll()
{
    for (EventStream* stream : std::vector<EventStream*>(m_streams))
        stream->Close();
}

std::size_t EventStreams::HeldBytes() const
{
    std::size_t held = 0;
    for (const EventStream* stream : m_streams)
        held += stream->HeldBytes();
    return held;
}

void EventStreams::Forget(EventStream* stream)
{
    m_streams.erase(std::remove(m_streams.begin(), m_streams.end(), stream), m_streams.end());
    m_clients.Give(stream->Client());
    // It may be in the middle of its own notifier's call.
    stream->deleteLater();
    if (m_streams.empty())
        m_tick.stop();
}

void EventStreams::Tick()
{
    const qint64 now = MonotonicMs();
    for (EventStream* stream : std::vector<EventStream*>(m_streams))
        stream->Tick(now, m_timings.pingMs, m_timings.stalledStreamMs);
}

} // namespace pontivo
