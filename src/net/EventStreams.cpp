#include "net/EventStreams.h"

#include "http/EventText.h"
#include "store/LikePattern.h"
#include "net/MonotonicClock.h"
#include "net/NativeSocket.h"
#include "store/VariableStore.h"

#include <algorithm>
#include <cstdio>
#include <random>

namespace pontivo {
namespace {

// Ids of one run never pass for another's: a reader from before a restart starts over.
std::string RunToken()
{
    std::random_device random;
    char text[17];
    std::snprintf(text, sizeof text, "%08x%08x", random(), random());
    return text;
}

} // namespace

EventStreams::EventStreams(VariableStore& store, const HttpTimings& timings, SocketPoller& poller,
                           LinkState linkState, QObject* parent)
    : QObject(parent)
    , m_store(store)
    , m_timings(timings)
    , m_poller(poller)
    , m_linkState(std::move(linkState))
    , m_ring(RunToken())
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

std::variant<Response, std::string> EventStreams::Open(const std::string& pattern, std::string head,
                                                      std::string_view lastEventId) const
{
    if (Count() >= m_timings.maxStreams)
        return "the server holds as many event streams as it may (" + std::to_string(m_timings.maxStreams) + ")";
    if (pattern.size() > LikePattern::kMaxBytes)
        return "an event stream's pattern is at most " + std::to_string(LikePattern::kMaxBytes) + " bytes";
    const LikePattern compiled(pattern);
    // Each change walks the whole name once per such stream: a few of them bound the loop's time per change.
    if (compiled.Scans() &&
        std::count_if(m_streams.begin(), m_streams.end(), [](const EventStream* s) { return s->Scans(); }) >=
            kMaxScanningStreams)
        return "at most " + std::to_string(kMaxScanningStreams) +
               " event streams at once may have something between two stars in their pattern";
    Response response(std::move(head).append("retry: 1000\n\n"));
    const bool resumed = !lastEventId.empty() && m_ring.Since(lastEventId, [&](std::string_view name) {
        return compiled.Matches(name);
    }, response.text);
    if (!resumed) {
        AppendIdLine(response.text, EventRing::kSnapshotId);
        if (!lastEventId.empty())
            AppendEvent(response.text, "reset", {});
        AppendSnapshot(compiled, response.text);
    }
    response.streamPattern = pattern;
    return response;
}

// The last event carries the id of the state it shows, so a reader cut off after it can resume.
void EventStreams::AppendSnapshot(const LikePattern& pattern, std::string& out) const
{
    m_store.ForEach([&](const std::string& name, const std::string& value) {
        if (pattern.Matches(name))
            AppendSetEvent(out, name, value);
    });
    AppendIdLine(out, m_ring.LastId());
    AppendEvent(out, "link", m_linkState());
}

void EventStreams::Adopt(qintptr descriptor, std::string client, Response response)
{
    if (!m_clients.Take(client, m_timings.perClient.streams)) {
        // A fresh connection takes an answer this short at once; whatever it does not take is lost with it.
        NativeSend(descriptor, response.streamRefusal.data(), response.streamRefusal.size());
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
void EventStreams::ToEach(std::optional<std::string_view> name, std::string text, Act act)
{
    m_ring.Add(name, text);
    if (m_streams.empty())
        return;
    const qint64 now = MonotonicMs();
    const StreamEvent event{m_ring.LastId(), text};
    // A copy: a stream that fails while sending leaves the list.
    for (EventStream* stream : std::vector<EventStream*>(m_streams)) {
        if (!name || stream->Wants(*name))
            act(*stream, event, now);
    }
    m_flush.start();
}

void EventStreams::VariableSet(const Variable& variable)
{
    // A value larger than the ring is only formatted for streams that take it.
    if (m_streams.empty() && !m_ring.Keeps(variable.name.size() + variable.value.size())) {
        m_ring.Add(variable.name, std::string_view(variable.value));
        return;
    }
    std::string text;
    AppendSetEvent(text, variable.name, variable.value);
    ToEach(variable.name, std::move(text), [&](EventStream& stream, const StreamEvent& event, qint64 now) {
        stream.Set(variable.name, variable.value, event, now);
    });
}

void EventStreams::VariableUnset(std::string_view name)
{
    std::string text;
    AppendEvent(text, "unset", name);
    ToEach(name, std::move(text), [&](EventStream& stream, const StreamEvent& event, qint64 now) {
        stream.Unset(name, event, now);
    });
}

void EventStreams::StoreReset()
{
    std::string text;
    AppendEvent(text, "reset", {});
    ToEach(std::nullopt, std::move(text), [](EventStream& stream, const StreamEvent& event, qint64 now) {
        stream.Reset(event, now);
    });
}

void EventStreams::LinkChanged(const std::string& state)
{
    std::string text;
    AppendEvent(text, "link", state);
    ToEach(std::nullopt, std::move(text), [&](EventStream& stream, const StreamEvent& event, qint64 now) {
        stream.Link(state, event, now);
    });
}

void EventStreams::CloseAll()
{
    for (EventStream* stream : std::vector<EventStream*>(m_streams))
        stream->Close();
}

std::size_t EventStreams::HeldBytes() const
{
    std::size_t held = m_ring.HeldBytes();
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
