#pragma once

#include "net/ClientCounts.h"
#include "net/ConnectionSlot.h"
#include "http/HttpTimings.h"
#include "net/NativeSocket.h"
#include "net/TlsSession.h"

#include <QSocketNotifier>
#include <QTimer>

#include <memory>
#include <string>
#include <vector>

namespace pontivo {

// The listener and the pool `Sck` of connection slots. Slots are never destroyed; a
// new connection takes the lowest-numbered free one, and the pool grows only when
// every slot is busy.
class HttpServer : public QObject {
    Q_OBJECT

public:
    HttpServer(ConnectionSlot::Responder responder, HttpTimings timings, QObject* parent = nullptr);
    ~HttpServer() override;

    void SetStreamTaker(ConnectionSlot::StreamTaker taker) { m_takeStream = std::move(taker); }
    // Without one (the default), every request goes straight to the responder.
    void SetGate(ConnectionSlot::Gate gate) { m_gate = std::move(gate); }
    const HttpTimings& Timings() const { return m_timings; }
    void SetClientLimits(const ClientLimits& limits) { m_timings.perClient = limits; }
    SocketPoller& Poller() { return m_poller; }

    // Arms the listener on an IP address literal, by default (empty) on all interfaces, IPv4 and IPv6.
    // On failure, the socket layer's description, or why connections could not be watched.
    bool Listen(quint16 port, QString& error, const std::string& address = {});
    // Serves a connection accepted elsewhere (HTTPS) like one of its own, within the same limits,
    // through its TLS session. Over a limit the descriptor is closed.
    void Adopt(qintptr descriptor, const std::string& client, std::unique_ptr<TlsSession> tls);
    // Closes the listener, every slot and every stream's TLS bridge; the pool keeps its size.
    void CloseAll();
    quint16 Port() const { return m_port; }
    int SlotCount() const { return static_cast<int>(m_slots.size()); }
    std::size_t HeldBytes() const;

signals:
    void requestArrived();
    void responseSent();
    void connectionAccepted(int slotIndex);

private:
    void AcceptPending();
    // False: over a limit, the connection was closed at once without a word.
    bool Admit(const AcceptResult& accepted);
    void PauseAccepting();
    void ResumeAccepting();
    ConnectionSlot& FreeSlot();
    void CloseStaleConnections();
    void DeleteBridges();

    ConnectionSlot::Responder m_responder;
    ConnectionSlot::StreamTaker m_takeStream;
    ConnectionSlot::Gate m_gate;
    SocketPoller m_poller;
    HttpTimings m_timings;
    // Accepting is done here, so that running out of descriptors pauses instead of spinning
    // on a listener that stays readable. The notifier, declared after it, is gone before it closes.
    OwnedDescriptor m_listener;
    quint16 m_port = 0; // as bound: asked for by every file request, so not looked up each time
    long long m_descriptorLimit = 0; // as it stood when listening started
    bool m_nearReserve = false;      // the last connection took a number close to the reserve
    std::unique_ptr<QSocketNotifier> m_acceptNotifier;
    std::vector<ConnectionSlot*> m_slots; // owned as Qt children; element i is slot i + 1
    std::vector<int> m_freeSlots;         // a min-heap of the free slots' numbers
    std::vector<std::string> m_slotClients; // who holds slot i + 1
    ClientCounts m_clients;
    QTimer m_sweepTimer;
    QTimer m_acceptRetry;
};

} // namespace pontivo
