#pragma once

#include "http/AccessRules.h"
#include "http/Authorization.h"
#include "http/LoginGuard.h"
#include "http/UserTable.h"
#include "http/VerifiedCache.h"

#include <string>
#include <string_view>
#include <vector>

namespace pontivo {

struct HttpRequest;

enum class AuthVerdict {
    Pass,
    Challenge, // 401: no credentials, or wrong ones
    Forbidden, // 403: a reading user asked for a write
    TooMany,   // 429: this client failed too often
    Busy,      // 503: too many passwords wait to be verified
    Verify,    // a password to verify off the loop, then Finish
};

// A password verification that must not run on the event loop.
struct PasswordCheck {
    std::string name;
    std::string hash;
    std::string password;
    std::string key;    // the login's keyed hash, for the cache
    bool known = false; // false: the name is no user, verified against another hash only to take as long
};

struct AuthStep {
    AuthVerdict verdict = AuthVerdict::Challenge;
    long long retryAfterMs = 0; // TooMany
    bool newlyBlocked = false;  // TooMany: the failure that blocked the client, to be said once
    PasswordCheck check;        // Verify
};

// Who may do what, decided on a request's head. Pure: time and the client are given.
class Authenticator {
public:
    // Forgets every remembered login.
    void SetUsers(std::vector<UserEntry> users);
    const std::vector<UserEntry>& Users() const { return m_users; }
    const LoginGuard& Guard() const { return m_guard; }

    AuthStep Check(const HttpRequest& head, Effect effect, const std::string& client, long long nowMs);
    // After a Verify: the outcome against the users as they are now.
    AuthStep Finish(const PasswordCheck& check, bool verified, Effect effect, const std::string& client, long long nowMs);

private:
    AuthStep CheckPassword(Credentials credentials, Effect effect, const std::string& client, long long nowMs);
    AuthStep CheckToken(const std::string& token, Effect effect, const std::string& client, long long nowMs);
    AuthStep Failure(const std::string& client, long long nowMs);
    const UserEntry* Find(std::string_view name) const;

    std::vector<UserEntry> m_users;
    VerifiedCache m_cache;
    LoginGuard m_guard;
};

// The refusal for a verdict other than Pass and Verify: a short text a person can read.
std::string AuthRefusal(std::string_view caption, const AuthStep& step);

} // namespace pontivo
