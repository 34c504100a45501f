#pragma once

// The core in this process, driven over loopback by blocking clients on their own threads.
#include "server/ServerCore.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTimer>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
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
    int pauseBetweenReadsMs = 0; // a slow reader
    long resetAfterBytes = -1;   // from 0 on: reset (SO_LINGER 0) once this many bytes are in
    int receiveBufferBytes = 0;  // above 0: a receive buffer that does not grow with the transfer
};

struct Exchange {
    bool connected = false;
    std::string received;
    bool closedByServer = false; // end of stream or reset seen before the read timeout
    long long elapsedMs = 0;     // from the last piece sent to the end of reading
};

namespace detail {

inline long long MsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

inline void ReadUntilClosed(int fd, const ClientScript& script, std::size_t enough, Exchange& exchange)
{
    const auto start = std::chrono::steady_clock::now();
    char buffer[65536];
    while (MsSince(start) < script.readTimeoutMs && exchange.received.size() < enough) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, enough - exchange.received.size()), 0);
        if (n <= 0) {
            exchange.closedByServer = true;
            return;
        }
        exchange.received.append(buffer, static_cast<std::size_t>(n));
        std::this_thread::sleep_for(std::chrono::milliseconds(script.pauseBetweenReadsMs));
    }
}

inline Exchange Run(std::uint16_t port, const ClientScript& script)
{
    Exchange exchange;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    // Set before connecting, the size holds: the kernel no longer tunes it.
    if (script.receiveBufferBytes > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &script.receiveBufferBytes, sizeof script.receiveBufferBytes);
    sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    exchange.connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    for (const Piece& piece : exchange.connected ? script.pieces : std::vector<Piece>{}) {
        std::this_thread::sleep_for(std::chrono::milliseconds(piece.delayBeforeMs));
        ::send(fd, piece.bytes.data(), piece.bytes.size(), MSG_NOSIGNAL);
    }
    const auto sent = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(script.pauseBeforeReadingMs));
    const bool reset = script.resetAfterBytes >= 0;
    const std::size_t enough = reset ? static_cast<std::size_t>(script.resetAfterBytes) : SIZE_MAX;
    if (exchange.connected && enough > 0)
        ReadUntilClosed(fd, script, enough, exchange);
    exchange.elapsedMs = MsSince(sent);
    const linger abort{1, 0};
    if (reset)
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    ::close(fd);
    return exchange;
}

} // namespace detail

inline std::future<Exchange> StartClient(std::uint16_t port, ClientScript script)
{
    return std::async(std::launch::async, [port, script = std::move(script)] { return detail::Run(port, script); });
}

// For a program that refuses port 0: free now, but anyone may take it before the program binds it.
inline std::uint16_t FreePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

inline std::string BodyOf(const std::string& response)
{
    const auto end = response.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : response.substr(end + 4);
}

// Runs the Qt event loop until the condition holds; false when the time ran out.
inline bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 3000)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

inline void RunEventsFor(int ms)
{
    WaitUntil([] { return false; }, ms);
}

// What `count` says when a timer of 0.9 * ms started just before `arm` fires, and when one of 1.1 * ms
// started just after it does. The loop fires due timers in order of their due times, so a timer of ms
// that `arm` starts fires between the two however late the loop runs.
inline std::pair<qsizetype, qsizetype> CountsAround(int ms, const std::function<void()>& arm,
                                                    const std::function<qsizetype()>& count)
{
    QTimer early;
    QTimer late;
    std::pair<qsizetype, qsizetype> counts{-1, -1};
    for (auto [timer, seen] : {std::pair{&early, &counts.first}, std::pair{&late, &counts.second}}) {
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(timer, &QTimer::timeout, [&count, seen] { *seen = count(); });
    }
    early.start(ms - ms / 10);
    arm();
    late.start(ms + ms / 10);
    WaitUntil([&] { return counts.second >= 0; }, ms + 30000);
    return counts;
}

template <typename T>
T Await(std::future<T>& future, int timeoutMs = 20000)
{
    if (!WaitUntil([&] { return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, timeoutMs))
        throw std::runtime_error("client did not finish in time");
    return future.get();
}

inline const std::string kHead = "HTTP/1.1 200 OK\r\nConnection: close\r\nServer: Pontivo 2.0\r\n";

inline std::string Framed(const std::string& body, const std::string& cors = "", bool command = true)
{
    return kHead + (cors.empty() ? "" : "Access-Control-Allow-Origin: " + cors + "\r\n") +
           (command ? "X-Content-Type-Options: nosniff\r\n" : "") + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

inline void WriteFile(const std::filesystem::path& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary) << content;
}

// Sweeps, quiet periods and idle limits short enough to pass within a test.
inline HttpTimings FastTimings(int staleAfterMs = 300)
{
    return HttpTimings{.sweepMs = 50, .staleAfterMs = staleAfterMs, .quietMs = 200, .idleTimeoutMs = 1000};
}

inline ServerSettings SettingsFor(const QString& comPort = QStringLiteral("16"))
{
    return ServerSettings{.comPort = comPort};
}

// Starts the core on a port the system picks, so that nothing else can hold it; the core keeps doing so.
inline void Start(ServerCore& core)
{
    core.ListenOnAnyPort(true);
    core.ChangeState();
}

// Straight through the dispatcher, without a socket.
inline std::string Request(ServerCore& core, const std::string& target)
{
    return BodyOf(core.Dispatcher().Reply(ParseRequest("GET " + target + " HTTP/1.1\r\n\r\n")).text);
}

inline bool Stored(ServerCore& core, const std::string& name, const std::string& value)
{
    return core.Store().Exists(name) && core.Store().Item(name) == value;
}

inline Exchange Send(ServerCore& core, ClientScript script)
{
    auto future = StartClient(core.ListeningPort(), std::move(script));
    return Await(future);
}

inline Exchange Get(ServerCore& core, const std::string& target, const std::string& headers = "")
{
    return Send(core, {{{"GET " + target + " HTTP/1.1\r\nHost: x\r\n" + headers + "\r\n"}}});
}

} // namespace pontivo::testing
