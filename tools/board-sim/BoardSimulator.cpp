#include "BoardSimulator.h"

#include "FrameText.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace pontivo {
namespace {

constexpr int kPeerCheckMs = 20;
// After the end of standard input, time for the program to read the last bytes
// before the port goes away with the simulator.
constexpr int kLingerMs = 200;

void Say(const std::string& text)
{
    std::fprintf(stderr, "pontivo-board-sim: %s\n", text.c_str());
    std::fflush(stderr);
}

} // namespace

BoardSimulator::BoardSimulator(SimulatedPort& port, const SimOptions& options, const sigset_t& unblocked,
                               ReplayFeed* replay)
    : m_port(port)
    , m_options(options)
    , m_replay(replay)
    , m_waves(options.waves)
    , m_unblocked(unblocked)
{
}

int BoardSimulator::Run(const volatile std::sig_atomic_t& stopRequested)
{
    Say("waiting for a program to open " + m_port.PortName());
    while (stopRequested == 0 && !m_failed && Serving()) {
        NotePeer(m_port.PeerOpen());
        if (m_peerOpen)
            Step();
        else
            Sleep(kPeerCheckMs);
    }
    if (m_inputEnded && !m_failed)
        Sleep(kLingerMs);
    ReadFromProgram();
    if (!m_received.empty())
        m_received += '\n';
    PrintLines();
    return m_failed ? 1 : 0;
}

bool BoardSimulator::Serving() const
{
    return !m_inputEnded || !m_outbox.empty();
}

void BoardSimulator::NotePeer(bool open)
{
    if (open == m_peerOpen)
        return;
    m_peerOpen = open;
    Say(open ? "the port was opened" : "the port was closed; waiting for it to be opened again");
    if (open) {
        m_nextRound = Clock::now();
        m_waves.Restart(m_nextRound);
    }
    if (open && m_replay)
        m_replay->Resume(m_nextRound);
}

void BoardSimulator::Step()
{
    const bool readInput =
        m_options.frames.empty() && m_options.waves.empty() && !m_replay && !m_inputEnded && m_outbox.empty();
    pollfd fds[2] = {
        {m_port.Master(), static_cast<short>(POLLIN | (m_outbox.empty() ? 0 : POLLOUT)), 0},
        {STDIN_FILENO, POLLIN, 0},
    };
    const int waitMs = WaitMs();
    const timespec timeout{waitMs / 1000, (waitMs % 1000) * 1000000L};
    if (::ppoll(fds, readInput ? 2 : 1, waitMs < 0 ? nullptr : &timeout, &m_unblocked) < 0) {
        if (errno != EINTR)
            Fail(std::string("waiting for the port failed: ") + std::strerror(errno));
        return;
    }
    if (fds[0].revents & POLLIN)
        ReadFromProgram();
    if (readInput && (fds[1].revents & (POLLIN | POLLHUP)))
        ReadStandardInput();
    SendDueRound();
    FlushOutbox();
}

int BoardSimulator::WaitMs() const
{
    // A replay waits for the pty to take what is out before it takes more.
    if (m_replay)
        return m_outbox.empty() ? m_replay->WaitMs(Clock::now()) : -1;
    const auto now = Clock::now();
    const int waves = m_waves.WaitMs(now);
    if (!RoundsLeft())
        return waves;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(m_nextRound - now).count();
    const int rounds = static_cast<int>(std::max<long long>(0, left));
    return waves < 0 ? rounds : std::min(rounds, waves);
}

bool BoardSimulator::RoundsLeft() const
{
    return !m_options.frames.empty() && (m_options.rounds == 0 || m_roundsSent < m_options.rounds);
}

void BoardSimulator::ReadFromProgram()
{
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(m_port.Master(), buffer, sizeof buffer);
        if (n > 0) {
            m_received.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        // EIO: the program has just closed the port; the next peer check notices.
        if (n < 0 && errno != EAGAIN && errno != EIO && errno != EINTR)
            Fail(std::string("reading the port failed: ") + std::strerror(errno));
        break;
    }
    PrintLines();
}

void BoardSimulator::ReadStandardInput()
{
    char buffer[4096];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n > 0)
        m_outbox.append(buffer, static_cast<std::size_t>(n));
    else if (n == 0 || errno != EINTR)
        m_inputEnded = true;
}

void BoardSimulator::SendDueRound()
{
    if (m_replay) {
        if (m_outbox.empty())
            m_replay->TakeDue(Clock::now(), m_outbox);
        return;
    }
    for (const auto& [name, value] : m_waves.TakeDue(Clock::now()))
        Send(FrameText(m_options.format, name, value));
    if (!RoundsLeft() || m_nextRound > Clock::now())
        return;
    // Frames go out as given; a line format needs each on a line of its own.
    const char* end = m_options.format == FrameFormat::Braces ? "" : "\r\n";
    for (const std::string& frame : m_options.frames)
        Send(frame + end);
    ++m_roundsSent;
    m_nextRound += std::chrono::milliseconds(m_options.everyMs);
    // After a pause with the port closed, go on from now rather than catching up.
    m_nextRound = std::max(m_nextRound, Clock::now());
}

void BoardSimulator::Send(const std::string& text)
{
    m_outbox += text;
    const std::size_t shown = text.find_last_not_of("\r\n");
    std::printf("board sent: %s\n", text.substr(0, shown == std::string::npos ? 0 : shown + 1).c_str());
    std::fflush(stdout);
}

// A line "name=value" as the example sketch takes it: applied, then reported back.
void BoardSimulator::Echo(std::string_view line)
{
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    const std::size_t equals = line.find('=');
    if (!m_options.echo || equals == std::string_view::npos || equals == 0)
        return;
    Send(FrameText(m_options.format, line.substr(0, equals), line.substr(equals + 1)));
}

void BoardSimulator::FlushOutbox()
{
    while (!m_outbox.empty()) {
        const ssize_t n = ::write(m_port.Master(), m_outbox.data(), m_outbox.size());
        if (n > 0) {
            m_outbox.erase(0, static_cast<std::size_t>(n));
            continue;
        }
        // A full pty (EAGAIN) drains as the program reads; EIO means it closed the port.
        if (n < 0 && errno != EAGAIN && errno != EIO && errno != EINTR)
            Fail(std::string("writing to the port failed: ") + std::strerror(errno));
        return;
    }
}

void BoardSimulator::PrintLines()
{
    std::size_t start = 0;
    for (std::size_t end; (end = m_received.find('\n', start)) != std::string::npos; start = end + 1) {
        std::printf("board got: %s\n", m_received.substr(start, end - start).c_str());
        Echo(std::string_view(m_received).substr(start, end - start));
    }
    m_received.erase(0, start);
    std::fflush(stdout);
}

void BoardSimulator::Sleep(int ms)
{
    const timespec timeout{ms / 1000, (ms % 1000) * 1000000L};
    ::ppoll(nullptr, 0, &timeout, &m_unblocked);
}

void BoardSimulator::Fail(const std::string& what)
{
    Say(what);
    m_failed = true;
}

} // namespace pontivo
