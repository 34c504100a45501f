#pragma once

#include "net/NativeSocket.h"
#include "net/TlsContext.h"

#include <QObject>
#include <QSocketNotifier>

#include <memory>
#include <string>

namespace pontivo {

class HttpServer;

// HTTPS beside plain HTTP: each connection accepted here is served by the HTTP server like any other
// connection of that client, through its own TLS session.
class HttpsListener : public QObject {
    Q_OBJECT

public:
    HttpsListener(HttpServer& server, QObject* parent = nullptr);

    // Reads the certificate and key (again); on failure the ones before stay and the reason is returned.
    std::string Load(const std::string& certFile, const std::string& keyFile) { return m_context.Load(certFile, keyFile); }
    // On failure, the reason in words.
    bool Listen(quint16 port, std::string& error, const std::string& address = {});
    // Closes the listener; the HTTP server closes the connections.
    void Close();
    quint16 Port() const { return m_port; }

private:
    void AcceptPending();

    HttpServer& m_server;
    TlsContext m_context;
    OwnedDescriptor m_listener;
    quint16 m_port = 0;
    std::unique_ptr<QSocketNotifier> m_notifier; // after the listener: gone before it closes
};

} // namespace pontivo
