#include "HttpServer.h"

#include "MonotonicClock.h"

namespace pontivo {

HttpServer::HttpServer(ConnectionSlot::Responder responder, HttpTimings timings, QObject* parent)
    : QTcpServer(parent)
    , m_responder(std::move(responder))
    , m_timings(timings)
{
    // A single-threaded server under load needs room for connections it has not accepted yet.
    setListenBacklogSize(511);
    connect(this, &QTcpServer::acceptError, this, &HttpServer::OnAcceptError);
    connect(&m_tmrUnbreak, &QTimer::timeout, this, &HttpServer::tmrUnbreak_Timer);
    m_acceptRetry.setSingleShot(true);
    connect(&m_acceptRetry, &QTimer::timeout, this, &HttpServer::ResumeAcceptingIfPaused);
    m_tmrUnbreak.start(m_timings.sweepMs);
}

bool HttpServer::Listen(quint16 port, QString& error)
{
    close();
    m_acceptPaused = false;
    if (listen(QHostAddress::Any, port))
        return true;
    error = errorString();
    return false;
}

void HttpServer::CloseAll()
{
    close();
    m_acceptRetry.stop();
    m_acceptPaused = false;
    for (ConnectionSlot* slot : m_slots)
        slot->Close();
}

void HttpServer::incomingConnection(qintptr descriptor)
{
    ConnectionSlot& slot = FreeSlot();
    if (slot.Accept(descriptor))
        emit connectionAccepted(slot.Index());
}

ConnectionSlot& HttpServer::FreeSlot()
{
    for (ConnectionSlot* slot : m_slots) {
        if (slot->IsFree())
            return *slot;
    }
    auto* slot = new ConnectionSlot(SlotCount() + 1, m_timings, m_responder, this);
    connect(slot, &ConnectionSlot::requestArrived, this, &HttpServer::requestArrived);
    connect(slot, &ConnectionSlot::responseSent, this, &HttpServer::responseSent);
    connect(slot, &ConnectionSlot::closed, this, &HttpServer::ResumeAcceptingIfPaused);
    m_slots.push_back(slot);
    return *slot;
}

void HttpServer::tmrUnbreak_Timer()
{
    const qint64 now = MonotonicMs();
    for (ConnectionSlot* slot : m_slots)
        slot->CloseIfStale(now);
}

void HttpServer::OnAcceptError(QAbstractSocket::SocketError)
{
    // Qt pauses accepting on a lasting error such as running out of descriptors. Try
    // again when a slot closes or after a short wait, instead of spinning on a listener
    // that stays readable.
    m_acceptPaused = true;
    m_acceptRetry.start(m_timings.acceptRetryMs);
}

void HttpServer::ResumeAcceptingIfPaused()
{
    if (!m_acceptPaused || !isListening())
        return;
    m_acceptPaused = false;
    m_acceptRetry.stop();
    resumeAccepting();
}

} // namespace pontivo
