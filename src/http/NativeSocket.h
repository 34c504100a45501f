#pragma once

#include <QtGlobal>

#include <cstddef>

namespace pontivo {

// Thin, non-blocking calls on native socket descriptors. The connection pool uses them
// directly: per connection they cost four system calls (accept, read, write, close),
// where a full socket object costs about a dozen.

enum class AcceptOutcome { Accepted, NothingPending, OutOfResources, Failed };

struct AcceptResult {
    AcceptOutcome outcome;
    qintptr descriptor = -1;
};

// One accept on a listening socket; the new descriptor is non-blocking.
AcceptResult NativeAccept(qintptr listener);

enum class IoOutcome { Transferred, WouldBlock, EndOfStream, Failed };

struct IoResult {
    IoOutcome outcome;
    std::size_t bytes = 0;
};

IoResult NativeReceive(qintptr descriptor, char* buffer, std::size_t capacity);
// Never raises SIGPIPE; a peer that has gone gives Failed.
IoResult NativeSend(qintptr descriptor, const char* data, std::size_t size);

void CloseDescriptor(qintptr descriptor);

} // namespace pontivo
