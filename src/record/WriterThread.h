#pragma once

#include "record/RecordKeeper.h"
#include "record/WriterChannel.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace pontivo {

// The keeper on a thread of this process, where there is no fork().
class WriterThread final : public WriterChannel {
public:
    explicit WriterThread(const RecordOptions& options);
    ~WriterThread() override;
    WriterThread(const WriterThread&) = delete;
    WriterThread& operator=(const WriterThread&) = delete;

    bool Start(std::string& error) override;
    void Send(std::string message) override;
    std::size_t Backlog() override;
    std::string Stopped() override;
    void Finish() override;

private:
    void Run();

    RecordKeeper m_keeper;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::vector<std::string> m_queue;
    std::size_t m_backlog = 0;
    bool m_stopping = false;
    std::string m_stopped;
    std::thread m_thread; // last: joined before anything it uses goes
};

} // namespace pontivo
