#include "net/TlsContext.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <cstring>

#include <sys/stat.h>

namespace pontivo {
namespace {

// Only HTTP/1.1 is spoken; a client offering ALPN without it gets no protocol named rather than a refusal.
int SelectProtocol(SSL*, const unsigned char** out, unsigned char* outLength, const unsigned char* offered,
                   unsigned int offeredLength, void*)
{
    unsigned char* chosen = nullptr;
    static const unsigned char wire[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
    if (SSL_select_next_proto(&chosen, outLength, wire, sizeof wire, offered, offeredLength) != OPENSSL_NPN_NEGOTIATED)
        return SSL_TLSEXT_ERR_NOACK;
    *out = chosen;
    return SSL_TLSEXT_ERR_OK;
}

// Whoever reads the key can pose as this server.
std::string KeyFileRefusal(const std::string& keyFile)
{
    struct stat status = {};
    if (::stat(keyFile.c_str(), &status) != 0)
        return "--tls-key " + keyFile + ": " + std::strerror(errno);
    if ((status.st_mode & S_IROTH) != 0)
        return "--tls-key " + keyFile + ": others can read it; refused (chmod 600 " + keyFile + ")";
    return {};
}

} // namespace

void TlsContext::Free::operator()(ssl_ctx_st* context) const
{
    SSL_CTX_free(context);
}

TlsContext::TlsContext() = default;
TlsContext::~TlsContext() = default;

std::string TlsErrorText()
{
    char text[256] = {};
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    ERR_clear_error();
    return text;
}

std::string TlsContext::Load(const std::string& certFile, const std::string& keyFile)
{
    if (std::string refusal = KeyFileRefusal(keyFile); !refusal.empty())
        return refusal;
    std::unique_ptr<SSL_CTX, Free> context(SSL_CTX_new(TLS_server_method()));
    if (!context)
        return "TLS cannot start: " + TlsErrorText();
    SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
    SSL_CTX_set_options(context.get(), SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_mode(context.get(), SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_alpn_select_cb(context.get(), SelectProtocol, nullptr);
    if (SSL_CTX_use_certificate_chain_file(context.get(), certFile.c_str()) != 1)
        return "--tls-cert " + certFile + ": " + TlsErrorText();
    if (SSL_CTX_use_PrivateKey_file(context.get(), keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
        return "--tls-key " + keyFile + ": " + TlsErrorText();
    if (SSL_CTX_check_private_key(context.get()) != 1)
        return "--tls-key " + keyFile + ": does not match the certificate " + certFile;
    m_context = std::move(context);
    return {};
}

ssl_st* TlsContext::NewSession(int descriptor) const
{
    SSL* session = m_context ? SSL_new(m_context.get()) : nullptr;
    if (session && SSL_set_fd(session, descriptor) != 1) {
        SSL_free(session);
        return nullptr;
    }
    if (session)
        SSL_set_accept_state(session);
    return session;
}

} // namespace pontivo
