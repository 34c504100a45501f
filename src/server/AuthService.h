#pragma once

#include "http/Authenticator.h"
#include "net/ConnectionSlot.h"
#include "server/PasswordVerifier.h"

#include <QObject>
#include <QString>

#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

namespace pontivo {

// Logins for the HTTP side (--users): the users file, the gate every request's head passes, and the
// verifications that run beside the loop. Logins waiting on the same verification share it.
class AuthService : public QObject {
    Q_OBJECT

public:
    using EffectFunction = std::function<Effect(const HttpRequest&)>;

    AuthService(std::string caption, std::string usersFile, EffectFunction effectOf, QObject* parent = nullptr);

    const std::string& UsersFile() const { return m_path; }
    // Reads the users file (again) and forgets every remembered login. On failure the users read
    // before stay, and the one-line reason is returned.
    std::string Reload();
    ConnectionSlot::Admission Admit(const HttpRequest& head, const std::string& client,
                                    std::function<void(ConnectionSlot::Verdict)> later);

signals:
    void notice(const QString& text);

private:
    struct Waiter {
        Effect effect;
        std::string client;
        std::function<void(ConnectionSlot::Verdict)> later;
    };
    ConnectionSlot::Verdict Conclude(const AuthStep& step, const std::string& client);
    void Verified(const PasswordCheck& check, bool verified);

    const std::string m_caption;
    const std::string m_path;
    EffectFunction m_effectOf;
    Authenticator m_auth;
    std::unordered_map<std::string, std::vector<Waiter>> m_waiting; // by the login's keyed hash
    PasswordVerifier m_verifier; // last: its threads stop before the rest goes
};

} // namespace pontivo
