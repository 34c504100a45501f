#include "ConnectionSlot.h"

#include "HttpRequest.h"
#include "HttpTimings.h"
#include "MonotonicClock.h"
#include "NativeAccept.h"

namespace pontivo {

ConnectionSlot::ConnectionSlot(int index, const HttpTimings& timings, Responder responder, QObject* parent)
    : QObject(parent)
    , m_index(index)
    , m_timings(timings)
    , m_responder(std::move(responder))
{
    m_quietTimer.setSingleShot(true);
    connect(&m_quietTimer, &QTimer::timeout, this, &ConnectionSlot::Answer);
    connect(&m_socket, &QTcpSocket::readyRead, this, &ConnectionSlot::OnReadyRead);
    connect(&m_socket, &QTcpSocket::bytesWritten, this, &ConnectionSlot::OnBytesWritten);
    connect(&m_socket, &QTcpSocket::disconnected, this, &ConnectionSlot::OnDisconnected);
}

bool ConnectionSlot::Accept(qintptr descriptor)
{
    m_request.clear();
    m_answered = false;
    m_stampMs.reset();
    m_acceptedAtMs = MonotonicMs();
    if (m_socket.setSocketDescriptor(descriptor))
        return true;
    CloseDescriptor(descriptor);
    return false;
}

void ConnectionSlot::Close()
{
    m_quietTimer.stop();
    m_stampMs.reset();
    m_answered = false;
    std::string().swap(m_request);
    m_socket.abort();
    emit closed(m_index);
}

void ConnectionSlot::CloseIfStale(qint64 nowMs)
{
    if (m_socket.state() != QAbstractSocket::ConnectedState)
        return;
    if (m_stampMs) {
        if (nowMs - *m_stampMs > m_timings.staleAfterMs)
            Close();
    } else if (!m_answered && nowMs - m_acceptedAtMs > m_timings.idleTimeoutMs) {
        Close();
    }
}

void ConnectionSlot::OnReadyRead()
{
    const QByteArray data = m_socket.readAll();
    if (m_answered)
        return; // anything after the answered request is ignored
    const std::size_t scanned = m_request.size();
    m_request.append(data.constData(), static_cast<std::size_t>(data.size()));
    if (RequestReady(m_request, scanned))
        Answer();
    else if (!m_request.empty())
        m_quietTimer.start(m_timings.quietMs);
}

void ConnectionSlot::Answer()
{
    m_quietTimer.stop();
    if (m_answered || m_socket.state() != QAbstractSocket::ConnectedState)
        return;
    m_answered = true;
    emit requestArrived();
    const std::string response = m_responder(m_request);
    std::string().swap(m_request);
    m_stampMs = MonotonicMs();
    m_socket.write(response.data(), static_cast<qint64>(response.size()));
    // Push the bytes now rather than on the next loop turn; small responses leave at once.
    m_socket.flush();
    OnBytesWritten();
}

void ConnectionSlot::OnBytesWritten()
{
    if (!m_answered || m_socket.bytesToWrite() > 0 || m_socket.state() != QAbstractSocket::ConnectedState)
        return;
    emit responseSent();
    Close();
}

void ConnectionSlot::OnDisconnected()
{
    Close();
}

} // namespace pontivo
