#include "net/EventStream.h"

#include "net/MonotonicClock.h"
#include "net/NativeSocket.h"
#include "http/EventRing.h"

namespace pontivo {
namespace {

// Unsent text beyond this is sent at once rather than at the end of the loop's turn.
constexpr std::size_t kDirectBytes = 64 * 1024;

} // namespace

EventStream::EventStream(qintptr descriptor, std::string client, std::string_view pattern, std::string firstBytes,
                         qint64 nowMs, SocketPoller& poller, const Snapshot& snapshot, QObject* parent)
    : QObject(parent)
    , m_descriptor(descriptor)
    , m_client(std::move(client))
    , m_pattern(pattern)
    , m_poller(poller)
    , m_snapshot(snapshot)
    , m_out(std::move(firstBytes))
    , m_lastEventMs(nowMs)
    , m_lastProgressMs(nowMs)
{
}

EventStream::~EventStream()
{
    if (m_descriptor < 0)
        return;
    m_poller.Forget(m_descriptor, true);
    CloseDescriptor(m_descriptor);
}

template <typename Merge>
void EventStream::Queue(qint64 nowMs, const StreamEvent& event, Merge merge)
{
    m_lastEventMs = nowMs;
    if (m_blocked || !m_pending.Empty()) {
        merge();
        return;
    }
    if (!event.id.empty())
        AppendIdLine(m_out, event.id);
    m_out.append(event.text);
    // A burst goes out as it grows, so only a reader that is really behind gets merged events.
    if (m_out.size() - m_sent >= kDirectBytes)
        Flush();
}

void EventStream::Set(std::string_view name, std::string_view value, const StreamEvent& event, qint64 nowMs)
{
    Queue(nowMs, event, [&] { m_pending.Set(name, value, event.id); });
}

void EventStream::Unset(std::string_view name, const StreamEvent& event, qint64 nowMs)
{
    Queue(nowMs, event, [&] { m_pending.Unset(name, event.id); });
}

void EventStream::Reset(const StreamEvent& event, qint64 nowMs)
{
    Queue(nowMs, event, [&] { m_pending.Reset(event.id); });
}

void EventStream::Link(std::string_view state, const StreamEvent& event, qint64 nowMs)
{
    Queue(nowMs, event, [&] { m_pending.Link(state, event.id); });
}

void EventStream::Flush()
{
    bool any = false;
    while (m_descriptor >= 0) {
        if (m_sent == m_out.size()) {
            m_sent = 0;
            // A burst's buffer is given back; a quiet stream keeps a small one.
            if (m_out.capacity() > kDirectBytes)
                std::string().swap(m_out);
            m_out.clear();
            if (m_pending.Empty())
                break;
            m_pending.MoveTo(m_out, [this](std::string& out) { m_snapshot(m_pattern, out); });
        }
        const IoResult result = NativeSend(m_descriptor, m_out.data() + m_sent, m_out.size() - m_sent);
        if (result.outcome == IoOutcome::WouldBlock) {
            if (!m_blocked)
                m_lastProgressMs = MonotonicMs();
            m_blocked = true;
            WatchFor(true);
            break;
        }
        if (result.outcome != IoOutcome::Transferred) {
            Close();
            break;
        }
        m_sent += result.bytes;
        m_lastProgressMs = MonotonicMs();
        any = true;
    }
    if (m_descriptor >= 0 && m_sent == m_out.size()) {
        m_blocked = false;
        WatchFor(false);
    }
    if (any)
        emit sent();
}

// The client's end is always awaited; a stream that cannot be watched is closed at once.
void EventStream::WatchFor(bool write)
{
    if (!m_poller.Watch(m_descriptor, *this, true, write))
        Close();
}

void EventStream::Tick(qint64 nowMs, int pingMs, int stalledMs)
{
    if (m_blocked && nowMs - m_lastProgressMs > stalledMs) {
        Close();
        return;
    }
    if (nowMs - m_lastEventMs < pingMs)
        return;
    Queue(nowMs, {{}, ": ping\n\n"}, [] {});
    Flush();
}

void EventStream::OnReadable()
{
    char buffer[4096];
    const IoResult read = NativeReceive(m_descriptor, buffer, sizeof buffer);
    // What a client sends on a stream means nothing; its end, or a failure, ends the stream.
    if (read.outcome == IoOutcome::EndOfStream || read.outcome == IoOutcome::Failed)
        Close();
}

void EventStream::Close()
{
    if (m_descriptor < 0)
        return;
    m_poller.Forget(m_descriptor, true);
    CloseDescriptor(m_descriptor);
    m_descriptor = -1;
    emit closed(this);
}

} // namespace pontivo
