#include "record/WriterProcess.h"

#include "record/RecordKeeper.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace pontivo {
namespace {

constexpr std::size_t kHeaderBytes = 4;
// A commit costs about the same however little it holds, so hand-overs that come sooner wait in the
// socket. A killed server still loses only what it had not handed over: its end closing wakes the writer.
// A commit this large was worth its cost: the next one may come at once, so a busy writer keeps up.
constexpr std::chrono::milliseconds kCommitInterval{1000};
constexpr std::size_t kPacedBytes = std::size_t{64} << 10;
#ifdef POLLRDHUP
constexpr short kParentGone = POLLRDHUP;
#else
constexpr short kParentGone = 0; // woken only when a commit is due
#endif
// Far above any message the loop sends: a longer length is a broken stream.
constexpr std::size_t kMaxMessageBytes = std::size_t{256} << 20;

void AppendFrame(std::string& out, std::string_view message)
{
    const auto size = static_cast<std::uint32_t>(message.size());
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<char>((size >> shift) & 0xff));
    out.append(message);
}

// Moves the whole frames at the front of `in` to `messages`; false when a length is past any message.
bool TakeFrames(std::string& in, std::vector<std::string>& messages)
{
    std::size_t at = 0;
    while (in.size() - at >= kHeaderBytes) {
        std::size_t size = 0;
        for (std::size_t i = 0; i < kHeaderBytes; ++i)
            size |= std::size_t{static_cast<unsigned char>(in[at + i])} << (8 * i);
        if (size > kMaxMessageBytes)
            return false;
        if (in.size() - at - kHeaderBytes < size)
            break;
        messages.emplace_back(in, at + kHeaderBytes, size);
        at += kHeaderBytes + size;
    }
    in.erase(0, at);
    return true;
}

// What the socket holds now, or (when `wait`) once something comes; false at its end or on an error.
bool Receive(int socket, std::string& in, bool wait)
{
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t got = ::recv(socket, buffer, sizeof buffer, wait ? 0 : MSG_DONTWAIT);
        if (got > 0) {
            in.append(buffer, static_cast<std::size_t>(got));
            wait = false;
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

void SendAll(int socket, std::string_view message)
{
    std::string frame;
    AppendFrame(frame, message);
    for (std::size_t sent = 0; sent < frame.size();) {
        const ssize_t n = ::send(socket, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno != EINTR)
            return;
        sent += static_cast<std::size_t>(std::max<ssize_t>(n, 0));
    }
}

// Only the socket (as descriptor 3) and the standard three stay open in the child: the listening
// sockets and the serial port belong to the parent, and must close when it does.
int KeepOnly(int socket)
{
    constexpr int kKept = 3;
    if (socket != kKept && ::dup2(socket, kKept) < 0)
        return socket;
#ifdef SYS_close_range
    if (::syscall(SYS_close_range, kKept + 1, ~0U, 0) == 0)
        return kKept;
#endif
    const long limit = std::min(::sysconf(_SC_OPEN_MAX), 65536L);
    for (int fd = kKept + 1; fd < limit; ++fd)
        ::close(fd);
    return kKept;
}

// Returns once the parent's end closed or the file failed; the connection closes (and checkpoints) first.
void RunKeeper(int socket, const RecordOptions& options)
{
    RecordKeeper keeper(options);
    std::string error;
    if (!keeper.Open(error)) {
        SendAll(socket, "-" + error);
        return;
    }
    SendAll(socket, "+");
    std::string in;
    std::vector<std::string> messages;
    using Clock = std::chrono::steady_clock;
    auto commitDue = Clock::now();
    for (bool open = true; open;) {
        // Woken by the hand-overs alone while they come (a wake costs a switch of process).
        const auto untilDue = std::chrono::ceil<std::chrono::milliseconds>(commitDue - Clock::now());
        pollfd ready{socket, untilDue.count() > 0 ? kParentGone : short{POLLIN}, 0};
        const auto wait = untilDue.count() > 0 ? untilDue : keeper.IdleWait();
        ::poll(&ready, 1, static_cast<int>(std::min<std::int64_t>(wait.count(), 60'000)));
        open = Receive(socket, in, false);
        const std::size_t received = in.size();
        const bool whole = TakeFrames(in, messages);
        if (!keeper.Take(messages, !open || !whole) || !whole) {
            SendAll(socket, "-" + (whole ? keeper.Failure() : options.file + ": the writer was sent a broken stream"));
            return;
        }
        if (!messages.empty())
            commitDue = received < kPacedBytes ? Clock::now() + kCommitInterval : Clock::now();
        messages.clear();
    }
}

[[noreturn]] void RunChild(int socket, const RecordOptions& options)
{
    for (const int ignored : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE})
        std::signal(ignored, SIG_IGN);
#ifdef __linux__
    ::prctl(PR_SET_NAME, "pontivo-record");
#endif
    int status = 0;
    try {
        RunKeeper(KeepOnly(socket), options);
    } catch (...) {
        status = 1; // out of memory: never back into the parent's code
    }
    // Nothing of the parent's runs here: no exit handlers, no flushing of its buffered output.
    ::_exit(status);
}

} // namespace

WriterProcess::WriterProcess(RecordOptions options) : m_options(std::move(options)) {}

WriterProcess::~WriterProcess()
{
    Finish();
}

bool WriterProcess::Start(std::string& error)
{
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        error = m_options.file + " cannot be written: no socket for the writer process (" + std::strerror(errno) + ")";
        return false;
    }
    m_child = ::fork();
    if (m_child == 0) {
        ::close(ends[0]);
        RunChild(ends[1], m_options);
    }
    ::close(ends[1]);
    if (m_child < 0) {
        ::close(ends[0]);
        error = m_options.file + " cannot be written: no writer process (" + std::strerror(errno) + ")";
        return false;
    }
    m_socket = ends[0];
    std::string answer;
    while (answer.empty() && m_socket >= 0)
        answer = ReadAnswers(true);
    if (answer == "+")
        return true;
    Finish();
    error = m_stopped.empty() ? m_options.file + ": the writer process did not start" : m_stopped;
    return false;
}

void WriterProcess::Send(std::string message)
{
    if (m_socket < 0)
        return;
    AppendFrame(m_out, message);
    SendSome(false);
}

std::size_t WriterProcess::Backlog()
{
    if (m_socket >= 0)
        SendSome(false);
    return m_out.size() - m_sent;
}

void WriterProcess::SendSome(bool wait)
{
    while (m_sent < m_out.size()) {
        const ssize_t n = ::send(m_socket, m_out.data() + m_sent, m_out.size() - m_sent, MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT));
        if (n >= 0) {
            m_sent += static_cast<std::size_t>(n);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            break;
        } else if (errno != EINTR) {
            // The child is gone: its answer (or its exit) says why.
            m_out.clear();
            m_sent = 0;
            return;
        }
    }
    // What was sent goes once it is most of the buffer: each byte moves at most once more.
    if (m_sent == m_out.size() || m_sent > m_out.size() / 2) {
        m_out.erase(0, m_sent);
        m_sent = 0;
    }
}

std::string WriterProcess::Stopped()
{
    if (m_socket >= 0 && m_stopped.empty())
        ReadAnswers(false);
    return m_stopped;
}

std::string WriterProcess::ReadAnswers(bool wait)
{
    const bool open = Receive(m_socket, m_in, wait);
    std::vector<std::string> answers;
    TakeFrames(m_in, answers);
    for (const std::string& each : answers)
        if (!each.empty() && each[0] == '-')
            Lost(each.substr(1));
    if (!open)
        Close();
    return answers.empty() ? std::string() : answers.back();
}

void WriterProcess::Lost(const std::string& reason)
{
    if (m_stopped.empty())
        m_stopped = reason;
}

void WriterProcess::Finish()
{
    if (m_socket < 0)
        return;
    if (m_stopped.empty())
        SendSome(true);
    // The child writes the rest, sorts, answers only if that fails, and closes its end.
    ::shutdown(m_socket, SHUT_WR);
    m_finishing = true;
    while (m_socket >= 0)
        ReadAnswers(true);
}

void WriterProcess::Close()
{
    ::close(m_socket);
    m_socket = -1;
    const std::string ended = Reap();
    if (!m_finishing || ended != "exit status 0")
        Lost(m_options.file + ": the writer process ended unexpectedly (" + ended + ")");
}

std::string WriterProcess::Reap()
{
    if (m_child <= 0)
        return "exit status 0";
    int status = 0;
    while (::waitpid(m_child, &status, 0) < 0 && errno == EINTR)
        ;
    m_child = -1;
    if (WIFSIGNALED(status))
        return "signal " + std::to_string(WTERMSIG(status));
    return "exit status " + std::to_string(WEXITSTATUS(status));
}

} // namespace pontivo
