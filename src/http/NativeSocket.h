#pragma once

#include "HttpResponse.h"

#include <QtGlobal>

#include <cstddef>
#include <optional>

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

// Up to `limit` bytes of the file body from its offset, which the caller then moves on.
// Where the system can, the bytes go from the file to the socket without a copy of ours.
// A file that ends before its announced size gives Failed.
IoResult NativeSendFile(qintptr descriptor, const FileBody& body, std::size_t limit);

// Bytes handed to the socket that the peer has not yet acknowledged, where the system tells.
std::optional<std::size_t> NativeUnsentBytes(qintptr descriptor);

// Ends our side of the stream (the peer reads the end) while its bytes may still be read.
void ShutdownSending(qintptr descriptor);

void CloseDescriptor(qintptr descriptor);

// Lifts this process's soft limit on open descriptors toward what the streams and the pool need.
void RaiseDescriptorLimit();

} // namespace pontivo
