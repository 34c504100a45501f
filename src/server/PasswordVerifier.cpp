#include "server/PasswordVerifier.h"

#include "http/Secrets.h"

#include <sodium.h>

#ifdef Q_OS_LINUX
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace pontivo {

PasswordVerifier::PasswordVerifier(int threads, std::size_t queueLimit, QObject* parent)
    : QObject(parent)
    , m_queueLimit(queueLimit)
{
    for (int i = 0; i < threads; ++i)
        m_threads.emplace_back([this] { Work(); });
}

PasswordVerifier::~PasswordVerifier()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_threads.clear();
}

bool PasswordVerifier::Submit(std::string hash, std::string password, Done done)
{
    {
        const std::lock_guard lock(m_mutex);
        if (m_queue.size() >= m_queueLimit)
            return false;
        m_queue.push_back({std::move(hash), std::move(password), std::move(done)});
    }
    m_wake.notify_one();
    return true;
}

void PasswordVerifier::Work()
{
#ifdef Q_OS_LINUX
    // Below the loop: a flood of guesses slows the guesses, not the answers to everyone else.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10);
#endif
    for (;;) {
        Job job;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            if (m_stopping)
                return;
            job = std::move(m_queue.front());
            m_queue.pop_front();
        }
        const bool verified = VerifyPassword(job.hash, job.password);
        sodium_memzero(job.password.data(), job.password.size());
        // Queued to this object: dropped unsent if it is gone by then.
        QMetaObject::invokeMethod(this, [done = std::move(job.done), verified] { done(verified); }, Qt::QueuedConnection);
    }
}

} // namespace pontivo
