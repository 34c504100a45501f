#include "http/Authenticator.h"

#include "http/HttpRequest.h"
#include "http/HttpResponse.h"
#include "http/Secrets.h"

#include <algorithm>

namespace pontivo {
namespace {

AuthStep Allowed(const UserEntry& user, Effect effect)
{
    const bool allowed = effect == Effect::Reads || user.role == Role::Write;
    return {allowed ? AuthVerdict::Pass : AuthVerdict::Forbidden, 0, false, {}};
}

std::string RetryAfter(long long ms)
{
    return "Retry-After: " + std::to_string(std::max(1LL, (ms + 999) / 1000)) + "\r\n";
}

} // namespace

void Authenticator::SetUsers(std::vector<UserEntry> users)
{
    m_users = std::move(users);
    m_cache.Forget();
}

const UserEntry* Authenticator::Find(std::string_view name) const
{
    const auto found = std::find_if(m_users.begin(), m_users.end(), [name](const UserEntry& e) { return e.name == name; });
    return found == m_users.end() ? nullptr : &*found;
}

AuthStep Authenticator::Check(const HttpRequest& head, Effect effect, const std::string& client, long long nowMs)
{
    // Browsers send a preflight without credentials; it runs nothing and tells nothing.
    if (head.method == "OPTIONS")
        return {AuthVerdict::Pass, 0, false, {}};
    if (const long long wait = m_guard.BlockedForMs(client, nowMs); wait > 0)
        return {AuthVerdict::TooMany, wait, false, {}};
    Credentials credentials = ReadAuthorization(head.Header("Authorization"));
    switch (credentials.kind) {
    case Credentials::Kind::None:
        return {AuthVerdict::Challenge, 0, false, {}};
    case Credentials::Kind::Malformed:
        return Failure(client, nowMs);
    case Credentials::Kind::Bearer:
        return CheckToken(credentials.secret, effect, client, nowMs);
    case Credentials::Kind::Basic:
        break;
    }
    return CheckPassword(std::move(credentials), effect, client, nowMs);
}

AuthStep Authenticator::CheckPassword(Credentials credentials, Effect effect, const std::string& client, long long nowMs)
{
    PasswordCheck check;
    check.key = m_cache.KeyOf(credentials.user, credentials.secret);
    if (const auto name = m_cache.Find(check.key, nowMs)) {
        if (const UserEntry* user = Find(*name))
            return Allowed(*user, effect);
    }
    const UserEntry* user = Find(credentials.user);
    check.known = user && !user->IsToken();
    if (!check.known) {
        // An unknown name takes as long as a known one: another user's hash, verified to no avail.
        const auto other = std::find_if(m_users.begin(), m_users.end(), [](const UserEntry& e) { return !e.IsToken(); });
        if (other == m_users.end())
            return Failure(client, nowMs);
        user = &*other;
    }
    check.name = std::move(credentials.user);
    check.hash = user->secret;
    check.password = std::move(credentials.secret);
    return {AuthVerdict::Verify, 0, false, std::move(check)};
}

AuthStep Authenticator::CheckToken(const std::string& token, Effect effect, const std::string& client, long long nowMs)
{
    const std::string digest = std::string(UserEntry::kTokenPrefix) + TokenDigest(token);
    const UserEntry* match = nullptr;
    // Every entry is compared, so the time says nothing about which one matched.
    for (const UserEntry& user : m_users) {
        if (SameSecret(user.secret, digest))
            match = &user;
    }
    return match ? Allowed(*match, effect) : Failure(client, nowMs);
}

AuthStep Authenticator::Finish(const PasswordCheck& check, bool verified, Effect effect, const std::string& client,
                               long long nowMs)
{
    // The users may have been read again meanwhile: only a user still there with the same hash counts.
    const UserEntry* user = Find(check.name);
    if (!verified || !check.known || !user || user->secret != check.hash)
        return Failure(client, nowMs);
    m_cache.Remember(check.key, check.name, nowMs);
    return Allowed(*user, effect);
}

AuthStep Authenticator::Failure(const std::string& client, long long nowMs)
{
    if (!m_guard.Failed(client, nowMs))
        return {AuthVerdict::Challenge, 0, false, {}};
    return {AuthVerdict::TooMany, LoginGuard::kBlockMs, true, {}};
}

std::string AuthRefusal(std::string_view caption, const AuthStep& step)
{
    constexpr std::string_view text = "Content-Type: text/plain; charset=utf-8\r\n";
    switch (step.verdict) {
    case AuthVerdict::Forbidden:
        return WriteResponse(caption, 403, {}, text, "This user may read only.\n");
    case AuthVerdict::TooMany:
        return WriteResponse(caption, 429, {}, std::string(text) + RetryAfter(step.retryAfterMs),
                             "Too many failed logins from this address; try again later.\n");
    case AuthVerdict::Busy:
        return WriteResponse(caption, 503, {}, std::string(text) + RetryAfter(1000),
                             "Too many logins are being checked; try again in a moment.\n");
    default:
        return WriteResponse(caption, 401, {},
                             std::string(text) + "WWW-Authenticate: Basic realm=\"Pontivo\", charset=\"UTF-8\"\r\n",
                             "Log in with a user name and password, or a token.\n");
    }
}

} // namespace pontivo
