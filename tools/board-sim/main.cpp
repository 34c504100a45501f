#include "BoardSimulator.h"
#include "SimOptions.h"
#include "SimulatedPort.h"

#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace {

volatile std::sig_atomic_t g_stopRequested = 0;

void OnStopSignal(int)
{
    g_stopRequested = 1;
}

// Blocks the stop signals and returns the mask to wait with, in which they are unblocked.
sigset_t CatchStopSignals()
{
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, &action, nullptr);
        sigaddset(&stopSignals, signal);
    }
    std::signal(SIGPIPE, SIG_IGN); // a closed standard output must not kill the link cleanup
    sigset_t unblocked;
    sigprocmask(SIG_BLOCK, &stopSignals, &unblocked);
    return unblocked;
}

} // namespace

int main(int argc, char* argv[])
{
    using namespace pontivo;
    const SimOptions options = ParseSimOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (!options.error.empty()) {
        std::fprintf(stderr, "pontivo-board-sim: %s\n\n%s", options.error.c_str(), SimUsage().c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(SimUsage().c_str(), stdout);
        return 0;
    }
    const sigset_t unblocked = CatchStopSignals();
    try {
        std::unique_ptr<ReplayFeed> replay;
        if (!options.replayPath.empty())
            replay = std::make_unique<ReplayFeed>(options);
        SimulatedPort port(options.linkPath);
        std::printf("%s\n", port.PortName().c_str());
        std::fflush(stdout);
        if (!options.linkPath.empty())
            std::fprintf(stderr, "pontivo-board-sim: %s -> %s\n", port.PortName().c_str(), port.SlavePath().c_str());
        BoardSimulator simulator(port, options, unblocked, replay.get());
        return simulator.Run(g_stopRequested);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "pontivo-board-sim: %s\n", error.what());
        return 1;
    }
}
