// pontivo-board-avr: a compiled sketch on a simulated ATmega328P, its serial port on a pty.
#include "AvrBoard.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kUsage[] = "usage: pontivo-board-avr [--link PATH] SKETCH.elf\n";
constexpr auto kMaxLag = std::chrono::milliseconds(100);
volatile std::sig_atomic_t g_stopRequested = 0;
volatile std::sig_atomic_t g_resetRequested = 0;

void OnSignal(int signal)
{
    (signal == SIGUSR1 ? g_resetRequested : g_stopRequested) = 1;
}

void CatchSignals()
{
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGUSR1})
        sigaction(signal, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

// The MCU runs no faster than its 16 MHz would on the bench, so millis() and the baud rate keep their
// meaning; a host too slow to keep up lets it fall behind rather than race to catch up.
int RunInRealTime(pontivo::AvrBoard& board)
{
    const std::uint64_t slice = board.Frequency() / 1000;
    const auto nanosecondsOf = [&](std::uint64_t cycles) {
        return std::chrono::nanoseconds(cycles * 1'000'000'000 / board.Frequency());
    };
    auto start = Clock::now();
    std::uint64_t startCycle = board.Cycle();
    while (!g_stopRequested) {
        if (g_resetRequested) {
            g_resetRequested = 0;
            board.Reset();
        }
        const bool behind = Clock::now() - start > nanosecondsOf(board.Cycle() - startCycle) + kMaxLag;
        if (behind || board.Cycle() < startCycle) { // or a reset restarted the count
            start = Clock::now();
            startCycle = board.Cycle();
        }
        if (!board.Run(slice)) {
            std::fputs("pontivo-board-avr: the firmware crashed or ended\n", stderr);
            return 1;
        }
        std::this_thread::sleep_until(start + nanosecondsOf(board.Cycle() - startCycle));
    }
    return 0;
}

} // namespace

// simavr keeps its IRQ tables and the firmware's symbols until the process ends; the sanitizer build
// reports only the leaks that are ours, and quietly.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libsimavr.so\n";
}

extern "C" const char* __lsan_default_options()
{
    return "print_suppressions=0";
}

int main(int argc, char* argv[])
{
    using namespace pontivo;
    std::string linkPath;
    int next = 1;
    if (argc == 4 && std::strcmp(argv[1], "--link") == 0) {
        linkPath = argv[2];
        next = 3;
    }
    if (next != argc - 1 || argv[next][0] == '-') {
        std::fputs(kUsage, stderr);
        return 2;
    }
    CatchSignals();
    try {
        SimulatedPort port(linkPath);
        AvrBoard board(argv[next], port);
        std::printf("%s\n", port.PortName().c_str());
        std::fflush(stdout);
        // Like a board powered by the cable the program opens: the sketch starts when the port is opened.
        while (!g_stopRequested && !port.PeerOpen())
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return RunInRealTime(board);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "pontivo-board-avr: %s\n", error.what());
        return 1;
    }
}
