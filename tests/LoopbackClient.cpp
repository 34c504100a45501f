#include "LoopbackClient.h"

#include <QTcpServer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <thread>

namespace pontivo::testing {
namespace {

using Clock = std::chrono::steady_clock;

std::int64_t MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

void ReadUntilClosed(int fd, int timeoutMs, int pauseMs, std::size_t enough, Exchange& exchange)
{
    const auto start = Clock::now();
    char buffer[65536];
    while (MsSince(start) < timeoutMs && exchange.received.size() < enough) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, enough - exchange.received.size()), 0);
        if (n <= 0) {
            exchange.closedByServer = true;
            return;
        }
        exchange.received.append(buffer, static_cast<std::size_t>(n));
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
}

Exchange Run(std::uint16_t port, const ClientScript& script)
{
    Exchange exchange;
    const int fd = ConnectLoopback(port, script.receiveBufferBytes);
    if (fd < 0)
        return exchange;
    exchange.connected = true;
    for (const Piece& piece : script.pieces) {
        std::this_thread::sleep_for(std::chrono::milliseconds(piece.delayBeforeMs));
        ::send(fd, piece.bytes.data(), piece.bytes.size(), MSG_NOSIGNAL);
    }
    const auto sent = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(script.pauseBeforeReadingMs));
    const bool reset = script.resetAfterBytes >= 0;
    const std::size_t enough = reset ? static_cast<std::size_t>(script.resetAfterBytes) : SIZE_MAX;
    if (script.readResponse && enough > 0)
        ReadUntilClosed(fd, script.readTimeoutMs, script.pauseBetweenReadsMs, enough, exchange);
    exchange.elapsedMs = MsSince(sent);
    if (reset) {
        const linger abort{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    ::close(fd);
    return exchange;
}

} // namespace

int ConnectLoopback(std::uint16_t port, int receiveBufferBytes)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    // Set before connecting, the size holds: the kernel no longer tunes it.
    if (receiveBufferBytes > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof receiveBufferBytes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::future<Exchange> StartClient(std::uint16_t port, ClientScript script)
{
    return std::async(std::launch::async, [port, script = std::move(script)] { return Run(port, script); });
}

std::uint16_t FreePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

std::string BodyOf(const std::string& response)
{
    const auto end = response.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : response.substr(end + 4);
}

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs)
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

void RunEventsFor(int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

} // namespace pontivo::testing
