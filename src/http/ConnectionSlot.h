#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTcpSocket>
#include <QTimer>

#include <functional>
#include <optional>
#include <string>

namespace pontivo {

struct HttpTimings;

// One reusable connection socket of the pool. It gathers a request until its header
// block is complete (or goes quiet, or grows too large), answers it once, and closes
// when the response has gone out.
class ConnectionSlot : public QObject {
    Q_OBJECT

public:
    using Responder = std::function<std::string(std::string_view requestText)>;

    ConnectionSlot(int index, const HttpTimings& timings, Responder responder, QObject* parent);

    int Index() const { return m_index; }
    bool IsFree() const { return m_socket.state() == QAbstractSocket::UnconnectedState; }
    bool Accept(qintptr descriptor);
    void Close();
    // Called by the sweep: closes a connection answered too long ago or never answered in time.
    void CloseIfStale(qint64 nowMs);

signals:
    void requestArrived();
    void responseSent();
    void closed(int index);

private:
    void OnReadyRead();
    void Answer();
    void OnBytesWritten();
    void OnDisconnected();

    const int m_index;
    const HttpTimings& m_timings;
    Responder m_responder;
    QTcpSocket m_socket;
    QTimer m_quietTimer;
    std::string m_request;
    bool m_answered = false;
    qint64 m_acceptedAtMs = 0;
    // Written when this connection's response is sent, cleared when it closes, so the
    // sweep never acts on a stamp left by an earlier connection of the slot.
    std::optional<qint64> m_stampMs;
};

} // namespace pontivo
