#pragma once

namespace pontivo {

// Intervals and limits of the HTTP side; tests shrink them.
struct HttpTimings {
    int sweepMs = 1000;        // the sweep of stale connections
    int staleAfterMs = 3000;   // an answered connection still open this long is closed
    int quietMs = 500;         // a request without its blank line is answered after this silence
    int idleTimeoutMs = 30000; // a connection that never completes a request is closed
    int acceptRetryMs = 200;   // after running out of descriptors, try accepting again
    int pingMs = 15000;           // an event stream quiet this long gets a comment line
    int stalledStreamMs = 60000;  // an event stream whose reader takes nothing this long is closed
    int maxStreams = 1024;        // event streams open at once
};

} // namespace pontivo
