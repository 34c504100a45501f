#include "net/ConnectionSlot.h"

#include "http/HttpTimings.h"
#include "net/MonotonicClock.h"
#include "net/NativeSocket.h"
#include "net/TlsBridge.h"

#include <QPointer>

#include <algorithm>

namespace pontivo {
namespace {

// One piece of a file body per send, so other connections get their turn.
constexpr std::size_t kFilePieceBytes = 1024 * 1024;

// Small buffers keep their memory between connections; a larger one gives it back, or
// hundreds of idle slots would each hold the largest request and response they ever had.
void Release(std::string& buffer)
{
    if (buffer.capacity() > 4 * 1024)
        std::string().swap(buffer);
    else
        buffer.clear();
}

} // namespace

ConnectionSlot::ConnectionSlot(int index, const HttpTimings& timings, Responder responder,
                               const StreamTaker& takeStream, const Gate& gate, SocketPoller& poller, QObject* parent)
    : QObject(parent)
    , m_index(index)
    , m_timings(timings)
    , m_responder(std::move(responder))
    , m_takeStream(takeStream)
    , m_gate(gate)
    , m_poller(poller)
{
    m_quietTimer.setSingleShot(true);
    // Never before the quiet period: Qt's loops may fire a coarse timer up to 5% early, cutting a slow request.
    m_quietTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_quietTimer, &QTimer::timeout, this, &ConnectionSlot::OnQuiet);
}

ConnectionSlot::~ConnectionSlot()
{
    if (m_descriptor >= 0)
        CloseDescriptor(m_descriptor);
}

void ConnectionSlot::Accept(qintptr descriptor, const std::string& client, std::unique_ptr<TlsSession> tls)
{
    m_descriptor = descriptor;
    m_client = client;
    m_tls = std::move(tls);
    ++m_connection;
    m_admitted = !m_gate;
    m_asked = false;
    m_answerDue = false;
    m_answered = false;
    m_moreMayFollow = false;
    m_lingering = false;
    m_stampMs.reset();
    m_acceptedAtMs = MonotonicMs();
    // The listener wakes on the handshake's last packet, before the client's first write: a
    // read now mostly finds nothing under load, so the request is awaited like any other event.
    WatchFor(true, false);
}

// A connection that cannot be watched would hang until the sweep: it is closed at once.
bool ConnectionSlot::WatchFor(bool read, bool write)
{
    if (m_poller.Watch(m_descriptor, *this, read, write))
        return true;
    Close();
    return false;
}

void ConnectionSlot::Close()
{
    if (m_descriptor >= 0)
        CloseDescriptor(FreeSlot(true));
}

qintptr ConnectionSlot::FreeSlot(bool closing)
{
    const qintptr descriptor = m_descriptor;
    m_poller.Forget(descriptor, closing);
    m_quietTimer.stop();
    m_descriptor = -1;
    m_stampMs.reset();
    m_unsentAtLastSweep.reset();
    m_answered = false;
    Release(m_request);
    Release(m_response);
    m_file = {};
    m_more = nullptr;
    m_hold.reset();
    m_sent = 0;
    m_tls.reset();
    emit closed(m_index);
    return descriptor;
}

void ConnectionSlot::CloseIfStale(qint64 nowMs)
{
    if (m_descriptor < 0)
        return;
    if (m_stampMs) {
        if (nowMs - *m_stampMs > m_timings.staleAfterMs && !StillDraining())
            Close();
    } else if (!m_answered && nowMs - m_acceptedAtMs > m_timings.idleTimeoutMs) {
        Close();
    }
}

// A reader that takes its response slowly is not stale: the socket's queue still shrinks.
bool ConnectionSlot::StillDraining()
{
    const auto unsent = NativeUnsentBytes(m_descriptor);
    const bool draining = unsent && m_unsentAtLastSweep && *unsent < *m_unsentAtLastSweep;
    m_unsentAtLastSweep = unsent;
    if (draining)
        m_stampMs = MonotonicMs();
    return draining;
}

IoResult ConnectionSlot::Receive(char* buffer, std::size_t capacity)
{
    return m_tls ? m_tls->Receive(buffer, capacity) : NativeReceive(m_descriptor, buffer, capacity);
}

IoResult ConnectionSlot::SendSome(bool text)
{
    const char* const data = m_response.data() + m_sent;
    const std::size_t size = m_response.size() - m_sent;
    if (m_tls)
        return text ? m_tls->Send(data, size) : m_tls->SendFile(m_file, kFilePieceBytes);
    return text ? NativeSend(m_descriptor, data, size) : NativeSendFile(m_descriptor, m_file, kFilePieceBytes);
}

// A TLS session may need the client's bytes to go on writing, or room to write to go on reading.
void ConnectionSlot::OnWritable()
{
    if (m_tls && !m_answered)
        OnReadable();
    else
        SendPending();
}

void ConnectionSlot::OnReadable()
{
    if (m_tls && m_answered && !m_lingering) {
        SendPending();
        return;
    }
    char buffer[16 * 1024];
    // Never past the cap: what is answered must not depend on how the bytes arrived.
    const std::size_t room = kMaxRequestBytes - std::min(m_request.size(), kMaxRequestBytes);
    const std::size_t wanted = m_lingering ? sizeof buffer : std::min(sizeof buffer, room);
    // What still comes after the answer is dropped unread, encrypted or not.
    const IoResult read = m_lingering ? NativeReceive(m_descriptor, buffer, wanted) : Receive(buffer, wanted);
    if (m_lingering) {
        if (read.outcome == IoOutcome::EndOfStream || read.outcome == IoOutcome::Failed)
            Close();
        return; // what still comes is dropped
    }
    switch (read.outcome) {
    case IoOutcome::WouldBlock:
        if (m_tls)
            WatchFor(true, m_tls->WantsWrite());
        return;
    case IoOutcome::Failed:
        Close();
        return;
    case IoOutcome::EndOfStream:
        // The client has said all it will: answer what came, or let go of a silent connection.
        WatchFor(false, false);
        if (m_request.empty())
            Close();
        else
            Answer();
        return;
    case IoOutcome::Transferred:
        break;
    }
    const std::size_t scanned = m_request.size();
    m_request.append(buffer, read.bytes);
    if (!m_admitted && HeadIn(scanned))
        AskGate();
    else if (RequestReady(m_request, scanned))
        Answer();
    else
        m_quietTimer.start(m_timings.quietMs);
}

// After a pause of the whole server the timer can run out with the client's next bytes
// already waiting: those are not quiet, so read before answering.
void ConnectionSlot::OnQuiet()
{
    const std::size_t before = m_request.size();
    OnReadable();
    if (m_descriptor >= 0 && m_request.size() == before)
        Answer();
}

bool ConnectionSlot::HeadIn(std::size_t scannedBefore) const
{
    return m_request.size() >= kMaxRequestBytes ||
           m_request.find("\r\n\r\n", scannedBefore > 3 ? scannedBefore - 3 : 0) != std::string::npos;
}

// Nothing more is read until the gate has spoken: a refused request's body is never taken in.
void ConnectionSlot::AskGate()
{
    m_asked = true;
    m_quietTimer.stop();
    if (!WatchFor(false, false))
        return;
    const QPointer<ConnectionSlot> self(this);
    const std::uint64_t connection = m_connection;
    Admission admission = m_gate(ParseRequest(m_request), m_client, m_tls != nullptr, [self, connection](Verdict refusal) {
        if (self && self->m_connection == connection && self->m_descriptor >= 0)
            self->Admitted(std::move(refusal));
    });
    if (!admission.later)
        Admitted(std::move(admission.refusal));
}

void ConnectionSlot::Admitted(Verdict refusal)
{
    m_admitted = true;
    if (refusal) {
        m_answered = true;
        emit requestArrived();
        // A body the client may still be sending is left unread, which the lingering close allows for.
        m_moreMayFollow = true;
        Respond(std::move(*refusal), {});
    } else if (m_answerDue || RequestReady(m_request, 0)) {
        Answer();
    } else if (WatchFor(true, false)) {
        m_quietTimer.start(m_timings.quietMs);
    }
}

void ConnectionSlot::Answer()
{
    m_quietTimer.stop();
    if (m_answered || m_descriptor < 0)
        return;
    if (!m_admitted) {
        m_answerDue = true;
        if (!m_asked)
            AskGate();
        return;
    }
    m_answered = true;
    // Anything after the answered request is ignored. No event reaches this slot before the
    // send below either finishes (closing drops the watch with the descriptor, no call of
    // its own) or changes what is watched, so the watch is left as it is until then.
    emit requestArrived();
    const HttpRequest request = ParseRequest(m_request);
    m_moreMayFollow = m_request.size() >= kMaxRequestBytes || (request.body && !request.body->empty());
    Response response = m_responder(request);
    if (response.streamPattern && m_takeStream) {
        HandOnStream(std::move(response));
        return;
    }
    m_more = std::move(response.more);
    m_hold = std::move(response.hold);
    Respond(std::move(response.text), std::move(response.file));
}

// An event stream over HTTPS is carried through a bridge, so the streams see a plain socket.
void ConnectionSlot::HandOnStream(Response response)
{
    std::unique_ptr<TlsSession> tls = std::move(m_tls);
    const std::string client = m_client;
    qintptr descriptor = FreeSlot(false);
    if (tls)
        descriptor = BridgeTls(std::move(tls), descriptor, m_poller, parent());
    if (descriptor >= 0)
        m_takeStream(descriptor, client, std::move(response));
}

void ConnectionSlot::Respond(std::string text, FileBody file)
{
    m_response = std::move(text);
    m_file = std::move(file);
    Release(m_request);
    m_stampMs = MonotonicMs();
    m_sent = 0;
    SendPending();
}

void ConnectionSlot::SendPending()
{
    for (;;) {
        const bool text = m_sent < m_response.size();
        if (!text && m_file.size == 0 && m_more) {
            // The next slice only once the one before has gone out: one slice in memory at a time.
            Release(m_response);
            m_sent = 0;
            if (!m_more(m_response))
                m_more = nullptr;
            continue;
        }
        if (!text && m_file.size == 0)
            break;
        const IoResult sent = SendSome(text);
        if (sent.outcome == IoOutcome::WouldBlock) {
            const bool needsRead = m_tls && !m_tls->WantsWrite();
            WatchFor(needsRead, !needsRead);
            return;
        }
        if (sent.outcome != IoOutcome::Transferred) {
            // Includes a file that shrank while it went out: its announced length cannot be kept.
            Close();
            return;
        }
        // A slow reader still taking its response is not stale; only one that stopped is.
        if (sent.bytes > 0)
            m_stampMs = MonotonicMs();
        if (text) {
            m_sent += sent.bytes;
        } else {
            m_file.offset += sent.bytes;
            m_file.size -= sent.bytes;
        }
    }
    m_hold.reset();
    emit responseSent();
    if (m_tls)
        m_tls->Shutdown();
    if (m_moreMayFollow)
        Linger();
    else
        Close();
}

// Closing with the client's bytes unread resets the connection, and a reset can destroy the
// response before the client has read it. So end our side, read and drop what still comes
// until the client closes; the sweep lets go of one that never does.
void ConnectionSlot::Linger()
{
    if (!ShutdownSending(m_descriptor)) {
        Close(); // the client has gone already
        return;
    }
    m_lingering = true;
    if (WatchFor(true, false))
        OnReadable();
}

} // namespace pontivo
