#pragma once

#include "record/RecordOptions.h"
#include "record/WriterChannel.h"

#include <string>
#include <sys/types.h>

namespace pontivo {

// The keeper in a child process, fed through a socket pair: each message framed by its length, sent
// without waiting (what the socket cannot take yet stays here, counted in Backlog()). The child ignores
// the terminal's and the service manager's signals: it stops when this end closes, however this process
// ends, after writing and sorting what it was sent. It answers once at start ("+", or "-" and the
// reason) and once more if the file fails.
class WriterProcess final : public WriterChannel {
public:
    explicit WriterProcess(RecordOptions options);
    ~WriterProcess() override;
    WriterProcess(const WriterProcess&) = delete;
    WriterProcess& operator=(const WriterProcess&) = delete;

    bool Start(std::string& error) override;
    void Send(std::string message) override;
    std::size_t Backlog() override;
    std::string Stopped() override;
    void Finish() override;

private:
    void SendSome(bool wait);
    // The child's answers so far (waiting for one when `wait`): the last one, empty for none. At the
    // child's end the socket closes and m_stopped says why, if nothing did.
    std::string ReadAnswers(bool wait);
    void Lost(const std::string& reason);
    void Close();
    std::string Reap();

    const RecordOptions m_options;
    int m_socket = -1;
    pid_t m_child = -1;
    std::string m_out;
    std::size_t m_sent = 0;
    std::string m_in;
    std::string m_stopped;
    bool m_finishing = false;
};

} // namespace pontivo
