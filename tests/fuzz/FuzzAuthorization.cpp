// An Authorization line (and a Host line) from a client -> credentials, the login decision, the redirect.
#include "FuzzCheck.h"
#include "http/Authenticator.h"
#include "http/HttpRequest.h"
#include "http/SecureRedirect.h"
#include "http/Secrets.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <string>

namespace {

using namespace pontivo;

bool Printable(const std::string& text)
{
    return std::none_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

void CheckCredentials(const std::string& line)
{
    const Credentials read = ReadAuthorization(line);
    FUZZ_CHECK(read.kind != Credentials::Kind::None);
    if (line.size() > kMaxAuthorizationBytes)
        FUZZ_CHECK(read.kind == Credentials::Kind::Malformed);
    if (read.kind == Credentials::Kind::Basic) {
        FUZZ_CHECK(!read.user.empty() && read.user.find(':') == std::string::npos);
        FUZZ_CHECK(Printable(read.user) && Printable(read.secret));
    }
    if (read.kind == Credentials::Kind::Bearer)
        FUZZ_CHECK(!read.secret.empty() && line.substr(0, line.find_last_not_of(" \t") + 1).ends_with(read.secret) && Printable(read.secret));
    if (read.kind == Credentials::Kind::Malformed)
        FUZZ_CHECK(read.user.empty() && read.secret.empty());
}

// Only the one token passes; only a Basic login waits for a verification; nothing else gets through.
void CheckDecision(const std::string& line, bool writes)
{
    static Authenticator auth = [] {
        Authenticator made;
        made.SetUsers({{"t", Role::Read, "token:" + TokenDigest("secret-token")},
                       {"u", Role::Write, "$argon2id$v=19$m=19456,t=2,p=1$c2FsdHNhbHQ$aGFzaGhhc2g"}});
        return made;
    }();
    const std::string text = "GET / HTTP/1.1\r\nAuthorization: " + line + "\r\n\r\n";
    const HttpRequest request = ParseRequest(text);
    const AuthStep step = auth.Check(request, writes ? Effect::Writes : Effect::Reads, "fuzz", 0);
    const Credentials read = ReadAuthorization(request.Header("Authorization"));
    if (step.verdict == AuthVerdict::Pass)
        FUZZ_CHECK(read.kind == Credentials::Kind::Bearer && read.secret == "secret-token" && !writes);
    if (step.verdict == AuthVerdict::Verify)
        FUZZ_CHECK(read.kind == Credentials::Kind::Basic && step.check.password == read.secret);
}

// The redirect is one head whatever the Host line and target hold.
void CheckRedirect(const std::string& host, const std::string& target)
{
    const std::string text = "GET " + target + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
    const std::string answer = HttpsRedirect("P", ParseRequest(text), 8443);
    const auto headEnd = answer.find("\r\n\r\n");
    FUZZ_CHECK(headEnd != std::string::npos);
    const std::string head = answer.substr(0, headEnd + 2);
    FUZZ_CHECK(std::count(head.begin(), head.end(), '\n') == std::count(head.begin(), head.end(), '\r'));
    FUZZ_CHECK(head.find("\r\n ") == std::string::npos && answer.find('\r', headEnd + 4) == std::string::npos);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider provider(data, size);
    const bool writes = provider.ConsumeBool();
    const std::string host = provider.ConsumeRandomLengthString(64);
    const std::string target = provider.ConsumeRandomLengthString(64);
    const std::string line = provider.ConsumeRemainingBytesAsString();
    CheckCredentials(line);
    CheckDecision(line, writes);
    CheckRedirect(host, target);
    return 0;
}
