#pragma once

#include "http/HttpRequest.h"
#include "http/HttpResponse.h"
#include "net/SocketPoller.h"
#include "net/TlsSession.h"

#include <QObject>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace pontivo {

struct HttpTimings;

// One reusable connection of the pool. It gathers a request until its header block is
// complete (or goes quiet, or grows too large), answers it once, and closes as soon as
// the response has gone out.
class ConnectionSlot : public QObject, private PollClient {
    Q_OBJECT

public:
    using Responder = std::function<Response(const HttpRequest& request)>;
    // Takes over the connection of a response that opens an event stream, with who the client counts as.
    using StreamTaker = std::function<void(qintptr descriptor, const std::string& client, Response response)>;
    // A gate's word on a request's head: go on (nothing), or this refusal.
    using Verdict = std::optional<std::string>;
    struct Admission {
        bool later = false; // the gate calls back once it knows
        Verdict refusal;
    };
    // Asked once the head is in, before the body is read and before anything is answered; the
    // callback, when the gate answers later, must come on the loop's thread.
    using Gate = std::function<Admission(const HttpRequest& head, const std::string& client, bool secure,
                                         std::function<void(Verdict)> later)>;

    ConnectionSlot(int index, const HttpTimings& timings, Responder responder, const StreamTaker& takeStream,
                   const Gate& gate, SocketPoller& poller, QObject* parent);
    ~ConnectionSlot() override;

    int Index() const { return m_index; }
    // Takes over a connected, non-blocking descriptor of this client (ClientOf), and its TLS
    // session when it came over HTTPS.
    void Accept(qintptr descriptor, const std::string& client, std::unique_ptr<TlsSession> tls);
    void Close();
    // Closes a connection answered too long ago, or one that never completed a request in time.
    void CloseIfStale(qint64 nowMs);
    // Memory the slot's buffers hold, for watching an idle pool.
    std::size_t HeldBytes() const { return m_request.capacity() + m_response.capacity(); }

signals:
    void requestArrived();
    void responseSent();
    void closed(int index);

private:
    void OnReadable() override;
    void OnWritable() override;
    IoResult Receive(char* buffer, std::size_t capacity);
    IoResult SendSome(bool text);
    // False: the connection could not be watched and is closed.
    bool WatchFor(bool read, bool write);
    void OnQuiet();
    void Answer();
    void Respond(std::string text, FileBody file);
    bool HeadIn(std::size_t scannedBefore) const;
    void AskGate();
    void Admitted(Verdict refusal);
    void SendPending();
    bool StillDraining();
    void Linger();
    // Frees the slot; the descriptor, unless handed on, is closed.
    qintptr FreeSlot(bool closing);
    void HandOnStream(Response response);

    const int m_index;
    const HttpTimings& m_timings;
    Responder m_responder;
    const StreamTaker& m_takeStream;
    const Gate& m_gate;
    std::string m_client;
    std::unique_ptr<TlsSession> m_tls; // over HTTPS: every byte goes through it
    qintptr m_descriptor = -1;
    SocketPoller& m_poller;
    QTimer m_quietTimer;
    std::string m_request;
    std::string m_response; // sent first, then the file body, if any
    FileBody m_file;
    std::function<bool(std::string& text)> m_more; // the next slice of a body sent in slices
    std::shared_ptr<const void> m_hold;
    std::size_t m_sent = 0;
    bool m_answered = false;
    // The request came with more than its header block: the client may still be sending.
    bool m_moreMayFollow = false;
    bool m_lingering = false;
    bool m_admitted = false;   // the gate let the request through, or there is none
    bool m_asked = false;      // the gate has been asked about this connection's request
    bool m_answerDue = false;  // the request ended while the gate was still deciding
    std::uint64_t m_connection = 0; // counts connections, so a late word finds the one it was for
    qint64 m_acceptedAtMs = 0;
    // Written when this connection's response is sent, renewed while it goes out, and cleared
    // when the connection closes, so the sweep never acts on a stamp of an earlier connection.
    std::optional<qint64> m_stampMs;
    std::optional<std::size_t> m_unsentAtLastSweep;
};

} // namespace pontivo
