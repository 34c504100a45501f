#include "net/TlsSession.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <climits>

namespace pontivo {

TlsSession::TlsSession(ssl_st* session)
    : m_session(session)
{
}

TlsSession::~TlsSession()
{
    SSL_free(m_session);
}

IoResult TlsSession::Failure(int result, IoOutcome otherwise)
{
    const int error = SSL_get_error(m_session, result);
    m_wantsWrite = error == SSL_ERROR_WANT_WRITE;
    return {error == SSL_ERROR_WANT_READ || m_wantsWrite ? IoOutcome::WouldBlock : otherwise};
}

IoResult TlsSession::Receive(char* buffer, std::size_t capacity)
{
    ERR_clear_error();
    m_wantsWrite = false;
    const int read = SSL_read(m_session, buffer, static_cast<int>(std::min<std::size_t>(capacity, INT_MAX)));
    if (read > 0)
        return {IoOutcome::Transferred, static_cast<std::size_t>(read)};
    return Failure(read, IoOutcome::EndOfStream);
}

IoResult TlsSession::Send(const char* data, std::size_t size)
{
    ERR_clear_error();
    m_wantsWrite = false;
    const int written = SSL_write(m_session, data, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
    if (written > 0)
        return {IoOutcome::Transferred, static_cast<std::size_t>(written)};
    return Failure(written, IoOutcome::Failed);
}

IoResult TlsSession::SendFile(const FileBody& body, std::size_t limit)
{
    if (m_piece.empty()) {
        m_piece.resize(std::min({kRecordBytes, limit, static_cast<std::size_t>(body.size)}));
        m_piece.resize(ReadFilePiece(body, m_piece.data(), m_piece.size()));
        if (m_piece.empty())
            return {IoOutcome::Failed};
    }
    const IoResult sent = Send(m_piece.data(), m_piece.size());
    if (sent.outcome == IoOutcome::Transferred)
        m_piece.clear();
    return sent;
}

void TlsSession::Shutdown()
{
    ERR_clear_error();
    if (!m_wantsWrite)
        SSL_shutdown(m_session);
}

} // namespace pontivo
