#pragma once

#include "http/HttpRequest.h"
#include "http/HttpResponse.h"
#include "net/SocketPoller.h"

#include <QObject>
#include <QTimer>

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
    // Takes over the connection of a response that opens an event stream.
    using StreamTaker = std::function<void(qintptr descriptor, Response response)>;

    ConnectionSlot(int index, const HttpTimings& timings, Responder responder, const StreamTaker& takeStream,
                   SocketPoller& poller, QObject* parent);
    ~ConnectionSlot() override;

    int Index() const { return m_index; }
    // Takes over a connected, non-blocking descriptor.
    void Accept(qintptr descriptor);
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
    void OnWritable() override { SendPending(); }
    // False: the connection could not be watched and is closed.
    bool WatchFor(bool read, bool write);
    void OnQuiet();
    void Answer();
    void SendPending();
    bool StillDraining();
    void Linger();
    // Frees the slot; the descriptor, unless handed on, is closed.
    qintptr FreeSlot(bool closing);

    const int m_index;
    const HttpTimings& m_timings;
    Responder m_responder;
    const StreamTaker& m_takeStream;
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
    qint64 m_acceptedAtMs = 0;
    // Written when this connection's response is sent, renewed while it goes out, and cleared
    // when the connection closes, so the sweep never acts on a stamp of an earlier connection.
    std::optional<qint64> m_stampMs;
    std::optional<std::size_t> m_unsentAtLastSweep;
};

} // namespace pontivo
