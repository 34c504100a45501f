#pragma once

#include "net/SocketPoller.h"
#include "net/TlsSession.h"

#include <QObject>

#include <memory>
#include <string>

namespace pontivo {

// An event stream over HTTPS: decrypts what the client sends onto a local socket pair whose other end
// the streams serve like any connection, and encrypts what comes back. Nothing here blocks; it ends
// when either side does.
class TlsBridge : public QObject {
    Q_OBJECT

public:
    // Takes over both descriptors and the session.
    TlsBridge(std::unique_ptr<TlsSession> session, qintptr peer, qintptr inner, SocketPoller& poller, QObject* parent);
    ~TlsBridge() override;

    void Start();

signals:
    void finished(TlsBridge* bridge);

private:
    struct Side : PollClient {
        Side(TlsBridge& owner) : bridge(owner) {}
        void OnReadable() override { bridge.Pump(); }
        void OnWritable() override { bridge.Pump(); }
        TlsBridge& bridge;
    };
    void Pump();
    bool ToPeer();  // true: progress
    bool ToInner(); // true: progress
    bool Watch();
    void Finish();

    std::unique_ptr<TlsSession> m_session;
    qintptr m_peer;
    qintptr m_inner;
    SocketPoller& m_poller;
    Side m_peerSide{*this};
    Side m_innerSide{*this};
    std::string m_toPeer;  // read from the inner side, not yet taken by the session
    std::string m_toInner; // decrypted, not yet written to the inner side
    std::size_t m_toInnerSent = 0;
    bool m_peerWantsWrite = false; // the session waits for the client's socket to take more
    bool m_peerEnded = false;
    bool m_innerEnded = false;
    bool m_finished = false;
};

// Bridges a connection whose session is under way; the pair's other end, or -1 when none could be
// had (the connection is then closed). The bridge is a child of `parent`.
qintptr BridgeTls(std::unique_ptr<TlsSession> tls, qintptr peer, SocketPoller& poller, QObject* parent);

} // namespace pontivo
