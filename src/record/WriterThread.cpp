#include "record/WriterThread.h"

#include "store/VariableStore.h"

#include <algorithm>
#include <utility>

namespace pontivo {

WriterThread::WriterThread(std::unique_ptr<RecordWriter> writer, std::chrono::milliseconds pruneInterval,
                           std::chrono::milliseconds commitInterval)
    : m_writer(std::move(writer))
    , m_pruneInterval(pruneInterval)
    , m_commitInterval(commitInterval)
    , m_pruneDue(std::chrono::steady_clock::now())
    , m_thread(&WriterThread::Run, this)
{
}

void WriterThread::Stop()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    if (m_thread.joinable())
        m_thread.join();
}

WriterThread::Queued WriterThread::Queue(RecordEvent event)
{
    const std::size_t bytes = sizeof event + event.name.size() + event.value.size();
    std::unique_lock lock(m_mutex);
    if (!m_failure.empty())
        return Queued::Stopped;
    if (m_queuedBytes + bytes > kQueueBytes)
        return Queued::Full;
    const bool commitNow = m_queuedBytes < kCommitNowBytes && m_queuedBytes + bytes >= kCommitNowBytes;
    m_queuedBytes += bytes;
    m_queue.push_back(std::move(event));
    lock.unlock();
    if (commitNow)
        m_wake.notify_one();
    return Queued::Yes;
}

std::string WriterThread::Failure() const
{
    const std::lock_guard lock(m_mutex);
    return m_failure;
}

void WriterThread::Run()
{
    std::unique_lock lock(m_mutex);
    auto commitDue = std::chrono::steady_clock::now() + m_commitInterval;
    for (;;) {
        const auto large = [this] { return m_queuedBytes >= kCommitNowBytes; };
        m_wake.wait_until(lock, std::min(commitDue, m_pruneDue), [&] { return m_stopping || large(); });
        const bool stopping = m_stopping;
        const auto now = std::chrono::steady_clock::now();
        std::vector<RecordEvent> events;
        if (stopping || now >= commitDue || large()) {
            events.swap(m_queue);
            m_queue.reserve(events.size());
            m_queuedBytes = 0;
            // One interval from this take to the next, however long the commit takes: what a kill loses.
            commitDue = now + m_commitInterval;
        }
        lock.unlock();
        const bool written = Work(events, stopping);
        lock.lock();
        if (!written)
            m_failure = m_writer->Failure(), m_queue.clear(), m_queuedBytes = 0;
        if (!written || stopping)
            return;
    }
}

bool WriterThread::Work(const std::vector<RecordEvent>& events, bool stopping)
{
    if (!events.empty() && !m_writer->Write(events))
        return false;
    if (stopping)
        return m_writer->GiveBackFreePages();
    const auto now = std::chrono::steady_clock::now();
    if (now < m_pruneDue)
        return true;
    bool more = false;
    const bool pruned = m_writer->Prune(UtcNowMs(), more);
    m_pruneDue = now + (more ? std::chrono::milliseconds(kPruneStepWait) : m_pruneInterval);
    return pruned;
}

} // namespace pontivo
