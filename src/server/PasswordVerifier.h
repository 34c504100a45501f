#pragma once

#include <QObject>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pontivo {

// A few threads that verify argon2id hashes, so that the event loop never waits on one. Each answer
// comes back on the thread this object lives on, through its event queue.
class PasswordVerifier : public QObject {
    Q_OBJECT

public:
    using Done = std::function<void(bool verified)>;

    PasswordVerifier(int threads, std::size_t queueLimit, QObject* parent = nullptr);
    ~PasswordVerifier() override;

    // False, doing nothing, when `queueLimit` verifications wait already.
    [[nodiscard]] bool Submit(std::string hash, std::string password, Done done);

private:
    struct Job {
        std::string hash;
        std::string password;
        Done done;
    };
    void Work();

    const std::size_t m_queueLimit;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Job> m_queue;
    bool m_stopping = false;
    std::vector<std::jthread> m_threads; // last: joined before the queue goes
};

} // namespace pontivo
