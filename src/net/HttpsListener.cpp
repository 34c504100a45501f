#include "net/HttpsListener.h"

#include "net/HttpServer.h"
#include "net/TlsBridge.h"

#include <QTimer>

#include <sys/socket.h>

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
    for (TlsBridge* bridge : findChildren<TlsBridge*>())
        delete bridge;
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
    int pair[2] = {-1, -1};
    ssl_st* session = nullptr;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0 ||
        !(session = m_context.NewSession(static_cast<int>(accepted.descriptor)))) {
        for (const int end : pair) {
            if (end >= 0)
                CloseDescriptor(end);
        }
        CloseDescriptor(accepted.descriptor);
        return;
    }
    auto* bridge = new TlsBridge(session, accepted.descriptor, pair[0], m_server.Poller(), this);
    connect(bridge, &TlsBridge::finished, bridge, &QObject::deleteLater);
    m_server.Adopt(pair[1], accepted.client, true);
    bridge->Start();
}

} // namespace pontivo
