#pragma once

#include "http/HttpResponse.h"

#include <QtGlobal>

#include <cstddef>
#include <optional>
#include <string>
#include <utility>

namespace pontivo {

// Thin, non-blocking calls on native socket descriptors. The connection pool uses them
// directly: per connection they cost four system calls (accept, read, write, close),
// where a full socket object costs about a dozen.

// Owns a socket descriptor: closed when dropped or replaced.
class OwnedDescriptor {
public:
    OwnedDescriptor() = default;
    explicit OwnedDescriptor(qintptr descriptor) : m_descriptor(descriptor) {}
    OwnedDescriptor(OwnedDescriptor&& other) noexcept : m_descriptor(other.Release()) {}
    OwnedDescriptor& operator=(OwnedDescriptor&& other) noexcept;
    ~OwnedDescriptor();

    bool IsValid() const { return m_descriptor != -1; }
    qintptr Get() const { return m_descriptor; }
    qintptr Release() { return std::exchange(m_descriptor, -1); }

private:
    qintptr m_descriptor = -1;
};

struct ListenResult {
    OwnedDescriptor listener; // not valid on failure
    std::string error;        // on failure, the reason in words
};

// A non-blocking, close-on-exec listening socket. An empty address means every interface, IPv4 and
// IPv6 where the system has IPv6; otherwise an IPv4 or IPv6 literal, which need not be up yet
// where the system allows (Linux). Port 0 takes a free port.
// A single-threaded server under load needs room for connections it has not accepted yet.
inline constexpr int kListenBacklog = 511;
ListenResult NativeListen(const std::string& address, quint16 port, int backlog);

// The port a bound socket has, 0 if it cannot be told.
quint16 NativeLocalPort(qintptr descriptor);

// This machine's first IPv4 address that is not loopback, or 127.0.0.1: the one pages show
// for reaching the server from another device.
std::string FirstIpv4Address();

enum class AcceptOutcome { Accepted, NothingPending, OutOfResources, Failed };

struct AcceptResult {
    AcceptOutcome outcome;
    qintptr descriptor = -1;
    std::string client{}; // who the peer counts as (ClientOf)
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
// Where the system can, the bytes go from the file to the socket without a copy of ours;
// a peer that has gone then raises SIGPIPE, so IgnoreBrokenPipe must have been called.
// A file that ends before its announced size gives Failed.
IoResult NativeSendFile(qintptr descriptor, const FileBody& body, std::size_t limit);

// Bytes handed to the socket that the peer has not yet acknowledged, where the system tells.
std::optional<std::size_t> NativeUnsentBytes(qintptr descriptor);

// Ends our side of the stream (the peer reads the end) while its bytes may still be read.
// False when the peer has gone already.
[[nodiscard]] bool ShutdownSending(qintptr descriptor);

void CloseDescriptor(qintptr descriptor);

// This process's soft limit on open descriptors; 0 when there is none to keep clear of.
long long NativeDescriptorLimit();
// The number the next descriptor would take (the system hands out the lowest free one), found by
// copying `open`; 0 where numbers are not so handed out, LLONG_MAX when none is free.
long long NativeLowestFreeDescriptor(qintptr open);

// Lifts this process's soft limit on open descriptors toward what the streams and the pool need.
void RaiseDescriptorLimit();

// Once at start, before any connection: a peer that has gone must not end the program
// (sendfile has no flag that keeps the signal back, unlike send).
void IgnoreBrokenPipe();

} // namespace pontivo
