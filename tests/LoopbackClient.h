#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <stdexcept>
#include <string>
#include <vector>

namespace pontivo::testing {

struct Piece {
    std::string bytes;
    int delayBeforeMs = 0;
};

struct ClientScript {
    std::vector<Piece> pieces;
    int pauseBeforeReadingMs = 0; // let the response sit unread
    int readTimeoutMs = 5000;
    bool readResponse = true;
    int pauseBetweenReadsMs = 0; // a slow reader
    // From 0 on: once this many response bytes are in, the client resets the connection
    // (SO_LINGER 0) instead of closing it.
    long resetAfterBytes = -1;
    // Above 0: a receive buffer of this size that does not grow with the transfer.
    int receiveBufferBytes = 0;
};

struct Exchange {
    bool connected = false;
    std::string received;
    bool closedByServer = false; // end of stream or reset seen before the read timeout
    std::int64_t elapsedMs = 0;  // from the last piece sent to the end of reading
};

// A blocking client on its own thread, so the server's event loop can keep running.
std::future<Exchange> StartClient(std::uint16_t port, ClientScript script);


// A blocking connect to the port on 127.0.0.1; -1 when refused.
int ConnectLoopback(std::uint16_t port, int receiveBufferBytes = 0);

// A port that was free a moment ago.
std::uint16_t FreePort();

// Body of an HTTP response (everything after the first blank line).
std::string BodyOf(const std::string& response);

// Spins the Qt event loop for the given time.
void RunEventsFor(int ms);

// Runs the Qt event loop until the condition holds; false when the time ran out.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 3000);

// Runs the Qt event loop until the future is ready.
template <typename T>
T Await(std::future<T>& future, int timeoutMs = 20000)
{
    QElapsedTimer timer;
    timer.start();
    while (future.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
        if (timer.elapsed() > timeoutMs)
            throw std::runtime_error("client did not finish in time");
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return future.get();
}

} // namespace pontivo::testing
