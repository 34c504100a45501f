#pragma once

#include "ConnectionSlot.h"
#include "HttpTimings.h"

#include <QTcpServer>
#include <QTimer>

#include <memory>
#include <vector>

namespace pontivo {

// The listener and the pool `Sck` of connection slots. Slots are never destroyed; a
// new connection takes the lowest-numbered free one, and the pool grows only when
// every slot is busy.
class HttpServer : public QTcpServer {
    Q_OBJECT

public:
    HttpServer(ConnectionSlot::Responder responder, HttpTimings timings, QObject* parent = nullptr);

    // Arms the listener on all interfaces, IPv4 and IPv6. On failure, the socket layer's description.
    bool Listen(quint16 port, QString& error);
    // Closes the listener and every slot; the pool keeps its size.
    void CloseAll();
    int SlotCount() const { return static_cast<int>(m_slots.size()); }

signals:
    void requestArrived();
    void responseSent();
    void connectionAccepted(int slotIndex);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    ConnectionSlot& FreeSlot();
    void tmrUnbreak_Timer();
    void OnAcceptError(QAbstractSocket::SocketError error);
    void ResumeAcceptingIfPaused();

    ConnectionSlot::Responder m_responder;
    const HttpTimings m_timings;
    std::vector<ConnectionSlot*> m_slots; // owned as Qt children; index i is slot i + 1
    QTimer m_tmrUnbreak;
    QTimer m_acceptRetry;
    bool m_acceptPaused = false;
};

} // namespace pontivo
