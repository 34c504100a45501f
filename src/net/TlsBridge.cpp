#include "net/TlsBridge.h"

#include "net/NativeSocket.h"

#include <sys/socket.h>

namespace pontivo {

TlsBridge::TlsBridge(std::unique_ptr<TlsSession> session, qintptr peer, qintptr inner, SocketPoller& poller,
                     QObject* parent)
    : QObject(parent)
    , m_session(std::move(session))
    , m_peer(peer)
    , m_inner(inner)
    , m_poller(poller)
{
}

TlsBridge::~TlsBridge()
{
    Finish();
}

void TlsBridge::Start()
{
    Pump();
}

void TlsBridge::Pump()
{
    if (m_finished)
        return;
    // Bounded, so that one busy connection cannot hold the loop.
    for (int rounds = 0; rounds < 64; ++rounds) {
        m_peerWantsWrite = false;
        if (!(ToPeer() | ToInner()))
            break;
    }
    // The HTTP side is done and its last bytes have gone to the client: close as it would.
    if ((m_innerEnded && m_toPeer.empty()) || !Watch()) {
        if (!m_peerWantsWrite && m_innerEnded)
            m_session->Shutdown();
        Finish();
    }
}

// The HTTP side's bytes, encrypted for the client.
bool TlsBridge::ToPeer()
{
    bool moved = false;
    if (m_toPeer.empty() && !m_innerEnded) {
        m_toPeer.resize(TlsSession::kRecordBytes);
        const IoResult read = NativeReceive(m_inner, m_toPeer.data(), m_toPeer.size());
        m_toPeer.resize(read.outcome == IoOutcome::Transferred ? read.bytes : 0);
        m_innerEnded = read.outcome == IoOutcome::EndOfStream || read.outcome == IoOutcome::Failed;
        moved = read.outcome == IoOutcome::Transferred || m_innerEnded;
    }
    if (m_toPeer.empty() || m_peerEnded)
        return moved;
    const IoResult written = m_session->Send(m_toPeer.data(), m_toPeer.size());
    if (written.outcome == IoOutcome::Transferred) {
        m_toPeer.clear();
        return true;
    }
    m_peerWantsWrite |= m_session->WantsWrite();
    if (written.outcome != IoOutcome::WouldBlock) {
        m_peerEnded = m_innerEnded = true; // the client has gone
        m_toPeer.clear();
    }
    return moved;
}

// The client's bytes, decrypted for the HTTP side; the handshake happens on the first read.
bool TlsBridge::ToInner()
{
    bool moved = false;
    if (m_toInnerSent == m_toInner.size() && !m_peerEnded) {
        m_toInner.resize(TlsSession::kRecordBytes);
        m_toInnerSent = 0;
        const IoResult read = m_session->Receive(m_toInner.data(), m_toInner.size());
        m_toInner.resize(read.outcome == IoOutcome::Transferred ? read.bytes : 0);
        m_peerWantsWrite |= read.outcome == IoOutcome::WouldBlock && m_session->WantsWrite();
        m_peerEnded = read.outcome == IoOutcome::EndOfStream || read.outcome == IoOutcome::Failed;
        moved = read.outcome == IoOutcome::Transferred || m_peerEnded;
        if (m_peerEnded)
            static_cast<void>(::shutdown(static_cast<int>(m_inner), SHUT_WR)); // the HTTP side reads the end
    }
    if (m_toInnerSent < m_toInner.size()) {
        const IoResult sent = NativeSend(m_inner, m_toInner.data() + m_toInnerSent, m_toInner.size() - m_toInnerSent);
        if (sent.outcome == IoOutcome::Transferred && sent.bytes > 0) {
            m_toInnerSent += sent.bytes;
            moved = true;
        } else if (sent.outcome != IoOutcome::WouldBlock) {
            m_innerEnded = true;
        }
    }
    return moved;
}

bool TlsBridge::Watch()
{
    const bool innerPending = m_toInnerSent < m_toInner.size();
    const bool peerRead = !m_peerEnded && !innerPending;
    const bool innerRead = !m_innerEnded && m_toPeer.empty();
    return m_poller.Watch(m_peer, m_peerSide, peerRead, m_peerWantsWrite) &&
           m_poller.Watch(m_inner, m_innerSide, innerRead, innerPending);
}

void TlsBridge::Finish()
{
    if (m_finished)
        return;
    m_finished = true;
    m_poller.Forget(m_peer, true);
    m_poller.Forget(m_inner, true);
    m_session.reset();
    CloseDescriptor(m_peer);
    CloseDescriptor(m_inner);
    emit finished(this);
}

qintptr BridgeTls(std::unique_ptr<TlsSession> tls, qintptr peer, SocketPoller& poller, QObject* parent)
{
    int pair[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) {
        CloseDescriptor(peer);
        return -1;
    }
    auto* bridge = new TlsBridge(std::move(tls), peer, pair[0], poller, parent);
    QObject::connect(bridge, &TlsBridge::finished, bridge, &QObject::deleteLater);
    bridge->Start();
    return pair[1];
}

} // namespace pontivo
