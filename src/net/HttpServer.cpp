#include "net/HttpServer.h"

#include "net/MonotonicClock.h"
#include "net/TlsBridge.h"

#include <algorithm>
#include <functional>

namespace pontivo {

HttpServer::HttpServer(ConnectionSlot::Responder responder, HttpTimings timings, QObject* parent)
    : QObject(parent)
    , m_responder(std::move(responder))
    , m_timings(timings)
{
    connect(&m_sweepTimer, &QTimer::timeout, this, &HttpServer::CloseStaleConnections);
    m_acceptRetry.setSingleShot(true);
    connect(&m_acceptRetry, &QTimer::timeout, this, &HttpServer::ResumeAccepting);
    m_sweepTimer.start(m_timings.sweepMs);
}

bool HttpServer::Listen(quint16 port, QString& error, const std::string& address)
{
    m_acceptNotifier.reset();
    m_listener = {};
    m_port = 0;
    if (!m_poller.Failure().empty()) {
        error = QString::fromStdString(m_poller.Failure());
        return false;
    }
    ListenResult opened = NativeListen(address, port, kListenBacklog);
    if (!opened.listener.IsValid()) {
        error = QString::fromStdString(opened.error);
        return false;
    }
    m_listener = std::move(opened.listener);
    m_port = NativeLocalPort(m_listener.Get());
    m_descriptorLimit = NativeDescriptorLimit();
    m_acceptNotifier = std::make_unique<QSocketNotifier>(m_listener.Get(), QSocketNotifier::Read);
    connect(m_acceptNotifier.get(), &QSocketNotifier::activated, this, &HttpServer::AcceptPending);
    return true;
}

void HttpServer::CloseAll()
{
    m_acceptNotifier.reset();
    m_acceptRetry.stop();
    m_listener = {};
    m_port = 0;
    for (ConnectionSlot* slot : m_slots)
        slot->Close();
    DeleteBridges();
}

// Before the poller goes: a bridge forgets its descriptors there as it ends.
HttpServer::~HttpServer()
{
    DeleteBridges();
}

void HttpServer::DeleteBridges()
{
    qDeleteAll(findChildren<TlsBridge*>(Qt::FindDirectChildrenOnly));
}

void HttpServer::AcceptPending()
{
    // One per wake: the loop comes back at once while more wait, and requests already
    // accepted take their turn in between. Draining the backlog instead ends every wake on a
    // refused accept. Near the reserve, the number a connection would take is looked at first: past
    // it, connections wait in the backlog until a descriptor is free.
    const bool full = m_nearReserve && !KeepsReserve(NativeLowestFreeDescriptor(m_listener.Get()), m_descriptorLimit);
    const AcceptResult accepted = full ? AcceptResult{AcceptOutcome::OutOfResources} : NativeAccept(m_listener.Get());
    if (accepted.outcome == AcceptOutcome::OutOfResources) {
        PauseAccepting();
        return;
    }
    if (accepted.outcome == AcceptOutcome::Accepted)
        Adopt(accepted.descriptor, accepted.client, nullptr);
}

void HttpServer::Adopt(qintptr descriptor, const std::string& client, std::unique_ptr<TlsSession> tls)
{
    if (!Admit({AcceptOutcome::Accepted, descriptor, client}))
        return;
    ConnectionSlot& slot = FreeSlot();
    m_slotClients[static_cast<std::size_t>(slot.Index() - 1)] = client;
    slot.Accept(descriptor, client, std::move(tls));
    emit connectionAccepted(slot.Index());
}

// Any answer would cost the descriptor longer; the client sees its connection closed.
bool HttpServer::Admit(const AcceptResult& accepted)
{
    m_nearReserve = !KeepsReserve(accepted.descriptor + kReservedDescriptors, m_descriptorLimit);
    if (KeepsReserve(accepted.descriptor, m_descriptorLimit)
        && m_clients.Take(accepted.client, m_timings.perClient.connections))
        return true;
    CloseDescriptor(accepted.descriptor);
    return false;
}

void HttpServer::PauseAccepting()
{
    m_acceptNotifier->setEnabled(false);
    m_acceptRetry.start(m_timings.acceptRetryMs);
}

void HttpServer::ResumeAccepting()
{
    if (!m_acceptNotifier || m_acceptNotifier->isEnabled())
        return;
    m_acceptRetry.stop();
    m_acceptNotifier->setEnabled(true);
}

ConnectionSlot& HttpServer::FreeSlot()
{
    // The lowest-numbered free slot, from a heap of free indices rather than a scan of the pool.
    if (!m_freeSlots.empty()) {
        std::pop_heap(m_freeSlots.begin(), m_freeSlots.end(), std::greater<>());
        const int index = m_freeSlots.back();
        m_freeSlots.pop_back();
        return *m_slots[static_cast<std::size_t>(index - 1)];
    }
    auto* slot = new ConnectionSlot(SlotCount() + 1, m_timings, m_responder, m_takeStream, m_gate, m_poller, this);
    connect(slot, &ConnectionSlot::requestArrived, this, &HttpServer::requestArrived);
    connect(slot, &ConnectionSlot::responseSent, this, &HttpServer::responseSent);
    connect(slot, &ConnectionSlot::closed, this, [this](int index) {
        m_clients.Give(m_slotClients[static_cast<std::size_t>(index - 1)]);
        m_freeSlots.push_back(index);
        std::push_heap(m_freeSlots.begin(), m_freeSlots.end(), std::greater<>());
        ResumeAccepting();
    });
    m_slots.push_back(slot);
    m_slotClients.emplace_back();
    return *slot;
}

void HttpServer::CloseStaleConnections()
{
    const qint64 now = MonotonicMs();
    for (ConnectionSlot* slot : m_slots)
        slot->CloseIfStale(now);
}

std::size_t HttpServer::HeldBytes() const
{
    std::size_t held = 0;
    for (const ConnectionSlot* slot : m_slots)
        held += slot->HeldBytes();
    return held;
}

} // namespace pontivo
