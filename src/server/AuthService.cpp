#include "server/AuthService.h"

#include "http/HttpRequest.h"
#include "http/UsersFile.h"
#include "net/ClientCounts.h"
#include "net/MonotonicClock.h"

#include <algorithm>
#include <thread>

namespace pontivo {
namespace {

// One core stays for the loop (two verifiers at most); a burst beyond the queue gets 503.
constexpr std::size_t kVerifierQueue = 32;

int VerifierThreads()
{
    const int cores = static_cast<int>(std::thread::hardware_concurrency());
    return std::clamp(cores - 1, 1, 2);
}

} // namespace

AuthService::AuthService(std::string caption, std::string usersFile, EffectFunction effectOf, QObject* parent)
    : QObject(parent)
    , m_caption(std::move(caption))
    , m_path(std::move(usersFile))
    , m_effectOf(std::move(effectOf))
    , m_verifier(VerifierThreads(), kVerifierQueue)
{
}

std::string AuthService::Reload()
{
    std::vector<UserEntry> users;
    std::string error = LoadUsersFile(m_path, users);
    if (error.empty())
        m_auth.SetUsers(std::move(users));
    return error;
}

ConnectionSlot::Admission AuthService::Admit(const HttpRequest& head, const std::string& client,
                                             std::function<void(ConnectionSlot::Verdict)> later)
{
    const Effect effect = m_effectOf(head);
    AuthStep step = m_auth.Check(head, effect, client, MonotonicMs());
    if (step.verdict != AuthVerdict::Verify)
        return {false, Conclude(step, client)};
    std::vector<Waiter>& waiters = m_waiting[step.check.key];
    if (waiters.empty()) {
        std::string password = std::exchange(step.check.password, {});
        auto done = [this, check = step.check](bool verified) { Verified(check, verified); };
        if (!m_verifier.Submit(step.check.hash, std::move(password), std::move(done))) {
            m_waiting.erase(step.check.key);
            return {false, AuthRefusal(m_caption, {AuthVerdict::Busy, 0, false, {}})};
        }
    }
    waiters.push_back({effect, client, std::move(later)});
    return {true, {}};
}

void AuthService::Verified(const PasswordCheck& check, bool verified)
{
    auto node = m_waiting.extract(check.key);
    if (node.empty())
        return;
    for (Waiter& waiter : node.mapped())
        waiter.later(Conclude(m_auth.Finish(check, verified, waiter.effect, waiter.client, MonotonicMs()), waiter.client));
}

ConnectionSlot::Verdict AuthService::Conclude(const AuthStep& step, const std::string& client)
{
    if (step.verdict == AuthVerdict::Pass)
        return std::nullopt;
    if (step.newlyBlocked)
        emit notice(QStringLiteral("more than %1 failed logins from %2 within a minute: its requests get 429 for a minute")
                        .arg(LoginGuard::kMaxFailures)
                        .arg(QString::fromStdString(ClientText(client))));
    return AuthRefusal(m_caption, step);
}

} // namespace pontivo
