#include "record/WriterThread.h"

#include <utility>

namespace pontivo {

WriterThread::WriterThread(const RecordOptions& options) : m_keeper(options) {}

WriterThread::~WriterThread()
{
    Finish();
}

bool WriterThread::Start(std::string& error)
{
    if (!m_keeper.Open(error))
        return false;
    m_thread = std::thread(&WriterThread::Run, this);
    return true;
}

void WriterThread::Send(std::string message)
{
    {
        const std::lock_guard lock(m_mutex);
        if (!m_stopped.empty())
            return;
        m_backlog += message.size();
        m_queue.push_back(std::move(message));
    }
    m_wake.notify_one();
}

std::size_t WriterThread::Backlog()
{
    const std::lock_guard lock(m_mutex);
    return m_backlog;
}

std::string WriterThread::Stopped()
{
    const std::lock_guard lock(m_mutex);
    return m_stopped;
}

void WriterThread::Finish()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    if (m_thread.joinable())
        m_thread.join();
}

void WriterThread::Run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait_for(lock, m_keeper.IdleWait(), [this] { return m_stopping || !m_queue.empty(); });
        std::vector<std::string> messages;
        messages.swap(m_queue);
        m_backlog = 0;
        const bool stopping = m_stopping;
        lock.unlock();
        const bool written = m_keeper.Take(messages, stopping);
        lock.lock();
        if (!written) {
            m_stopped = m_keeper.Failure();
            m_queue.clear();
            m_backlog = 0;
            return;
        }
        if (stopping && m_queue.empty())
            return;
    }
}

} // namespace pontivo
