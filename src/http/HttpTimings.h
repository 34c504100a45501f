#pragma once

namespace pontivo {

// Intervals of the HTTP side; tests shrink them.
struct HttpTimings {
    int sweepMs = 1000;        // tmrUnbreak
    int staleAfterMs = 3000;   // an answered connection still open this long is closed
    int quietMs = 500;         // a request without its blank line is answered after this silence
    int idleTimeoutMs = 30000; // a connection that never completes a request is closed
    int acceptRetryMs = 200;   // after running out of descriptors, try accepting again
};

} // namespace pontivo
