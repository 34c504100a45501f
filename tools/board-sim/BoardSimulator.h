#pragma once

#include "ReplayFeed.h"
#include "SimOptions.h"
#include "SimulatedPort.h"
#include "Waves.h"

#include <chrono>
#include <csignal>
#include <string>

namespace pontivo {

// Plays the board while a program has the port open: sends the frames and waves (or standard
// input), prints the lines the program writes and, with --echo, reports them back as the example
// sketch does. Sleeps while nobody has the port open, so
// nothing piles up in the pty for a program that opens it later.
class BoardSimulator {
public:
    using Clock = std::chrono::steady_clock;

    // `unblocked` is the signal mask to wait with: the stop signals are blocked otherwise,
    // so a stop cannot slip in between a check and a wait.
    // With a replay, its frames are sent instead of the options' frames or standard input.
    BoardSimulator(SimulatedPort& port, const SimOptions& options, const sigset_t& unblocked,
                   ReplayFeed* replay = nullptr);

    // Runs until `stopRequested` is set, standard input ends, or the port fails.
    // Returns the exit status.
    int Run(const volatile std::sig_atomic_t& stopRequested);

private:
    bool Serving() const;
    void NotePeer(bool open);
    void Step();
    int WaitMs() const;
    bool RoundsLeft() const;
    void ReadFromProgram();
    void ReadStandardInput();
    void SendDueRound();
    void Send(const std::string& text);
    void Echo(std::string_view line);
    void FlushOutbox();
    void PrintLines();
    void Sleep(int ms);
    void Fail(const std::string& what);

    SimulatedPort& m_port;
    const SimOptions& m_options;
    ReplayFeed* m_replay;
    Waves m_waves;
    sigset_t m_unblocked;
    bool m_peerOpen = false;
    bool m_inputEnded = false;
    bool m_failed = false;
    long m_roundsSent = 0;
    Clock::time_point m_nextRound;
    std::string m_outbox;   // bytes for the program not yet taken by the pty
    std::string m_received; // bytes from the program not yet printed as a line
};

} // namespace pontivo
