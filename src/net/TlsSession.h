#pragma once

#include "net/NativeSocket.h"

#include <memory>
#include <string>

struct ssl_st;

namespace pontivo {

// The TLS side of one HTTPS connection (OpenSSL): the connection reads and writes through it
// instead of its socket. Nothing blocks; the handshake happens on the first reads.
class TlsSession {
public:
    static constexpr std::size_t kRecordBytes = 16 * 1024; // the most one TLS record carries

    explicit TlsSession(ssl_st* session); // takes it over
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // As the socket calls answer. A client that ends the session, cleanly or not, gives EndOfStream.
    IoResult Receive(char* buffer, std::size_t capacity);
    // After WouldBlock, call again with the same bytes.
    IoResult Send(const char* data, std::size_t size);
    IoResult SendFile(const FileBody& body, std::size_t limit);
    // After WouldBlock: what the socket must become before the call can go on.
    bool WantsWrite() const { return m_wantsWrite; }
    // Tells the client the session ends, as far as the socket takes it at once.
    void Shutdown();

private:
    IoResult Failure(int result, IoOutcome otherwise);

    ssl_st* m_session;
    std::string m_piece; // a file's next bytes, read once and offered until the session takes them
    bool m_wantsWrite = false;
};

} // namespace pontivo
