#pragma once

#include <cstddef>

namespace pontivo {

// What one client address may hold at once. A classroom of phones behind one router stays far
// below; one client opening connections as fast as it can no longer takes every descriptor.
struct ClientLimits {
    int connections = 256; // in the pool, answered or not
    int streams = 64;      // event streams
};

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
    ClientLimits perClient{};
};

// Descriptors no client can take: the board's port, files being served and the broker need them.
constexpr long long kReservedDescriptors = 64;
// Streams whose pattern has something between two stars (`*temp*`), over all clients.
constexpr std::ptrdiff_t kMaxScanningStreams = 2;
// Names a lagging stream owes as unset, in bytes; past this its reader starts over from a snapshot.
constexpr std::size_t kMaxPendingUnsetBytes = 64 * 1024;

} // namespace pontivo
