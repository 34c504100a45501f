#pragma once

#include "record/RecordEvent.h"
#include "record/RecordWriter.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pontivo {

// The recording's writer on a thread of its own: what the loop queues is committed once a commit
// interval, in one transaction, and pruning goes on between commits a step at a time. The loop only
// takes a lock to queue, never waits on the disk.
class WriterThread {
public:
    // Between prune steps while more is due, so that a file over its limits shrinks while nothing is written.
    static constexpr std::chrono::milliseconds kPruneStepWait{500};
    // Bytes of events the queue may hold: past it, events are refused rather than letting memory grow.
    static constexpr std::size_t kQueueBytes = std::size_t{32} << 20;
    // Past this, what is queued is committed at once rather than at the interval: a burst of large
    // writes is held in memory once, not for the whole interval.
    static constexpr std::size_t kCommitNowBytes = std::size_t{4} << 20;
    enum class Queued { Yes, Full, Stopped };

    // `failed` is given the reason when the file cannot take the writes; nothing more is written then.
    WriterThread(std::unique_ptr<RecordWriter> writer, std::chrono::milliseconds pruneInterval,
                 std::chrono::milliseconds commitInterval);
    ~WriterThread() { Stop(); }
    WriterThread(const WriterThread&) = delete;
    WriterThread& operator=(const WriterThread&) = delete;

    Queued Queue(RecordEvent event);
    // Commits what is queued, gives the free pages back and ends the thread.
    void Stop();
    // Empty while the writer writes; why it stopped once it has.
    std::string Failure() const;

private:
    void Run();
    // The writer's work outside the lock: false when the file failed.
    bool Work(const std::vector<RecordEvent>& events, bool stopping);

    const std::unique_ptr<RecordWriter> m_writer;
    const std::chrono::milliseconds m_pruneInterval;
    const std::chrono::milliseconds m_commitInterval;
    std::chrono::steady_clock::time_point m_pruneDue;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::vector<RecordEvent> m_queue;
    std::size_t m_queuedBytes = 0;
    bool m_stopping = false;
    std::string m_failure;
    std::thread m_thread; // last: started once everything it uses is there, joined before it goes
};

} // namespace pontivo
