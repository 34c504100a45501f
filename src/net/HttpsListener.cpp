#include "net/HttpsListener.h"

#include "net/HttpServer.h"

#include <QTimer>

namespace pontivo {
namespace {

constexpr int kRetryMs = 200; // after running out of descriptors

} // namespace

HttpsListener::HttpsListener(HttpServer& server, QObject* parent)
    : QObject(parent)
    , m_server(server)
{
}

bool HttpsListener::Listen(quint16 port, std::string& error, const std::string& address)
{
    Close();
    ListenResult opened = NativeListen(address, port, kListenBacklog);
    if (!opened.listener.IsValid()) {
        error = opened.error;
        return false;
    }
    m_listener = std::move(opened.listener);
    m_port = NativeLocalPort(m_listener.Get());
    m_notifier = std::make_unique<QSocketNotifier>(m_listener.Get(), QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &HttpsListener::AcceptPending);
    return true;
}

void HttpsListener::Close()
{
    m_notifier.reset();
    m_listener = {};
    m_port = 0;
}

void HttpsListener::AcceptPending()
{
    const AcceptResult accepted = NativeAccept(m_listener.Get());
    if (accepted.outcome == AcceptOutcome::OutOfResources) {
        m_notifier->setEnabled(false);
        QTimer::singleShot(kRetryMs, this, [this] {
            if (m_notifier)
                m_notifier->setEnabled(true);
        });
        return;
    }
    if (accepted.outcome != AcceptOutcome::Accepted)
        return;
    ssl_st* const session = m_context.NewSession(static_cast<int>(accepted.descriptor));
    if (!session) {
        CloseDescriptor(accepted.descriptor);
        return;
    }
    m_server.Adopt(accepted.descriptor, accepted.client, std::make_unique<TlsSession>(session));
}

} // namespace pontivo
