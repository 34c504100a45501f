#pragma once

#include <memory>
#include <string>

struct ssl_ctx_st;
struct ssl_st;

namespace pontivo {

// The server's certificate and key for HTTPS (OpenSSL): TLS 1.2 and 1.3 only, the library's default
// ciphers, ALPN http/1.1. Reading them again makes a new context; connections keep the one they began with.
class TlsContext {
public:
    TlsContext();
    ~TlsContext();

    // Reads both PEM files; on failure the context stays as it was and the one-line reason is returned.
    std::string Load(const std::string& certFile, const std::string& keyFile);
    bool Loaded() const { return m_context != nullptr; }
    // A new server-side session over the descriptor, or null when none can be had.
    ssl_st* NewSession(int descriptor) const;

private:
    struct Free {
        void operator()(ssl_ctx_st* context) const;
    };
    std::unique_ptr<ssl_ctx_st, Free> m_context;
};

// The library's last error in words, emptied.
std::string TlsErrorText();

} // namespace pontivo
