#pragma once

#include "LoopbackClient.h"
#include "ServerCore.h"

#include <filesystem>
#include <fstream>
#include <string>

namespace pontivo::testing {

// Every response starts so; the rest is the optional CORS line, the length and the body.
inline const std::string kHead = "HTTP/1.1 200 OK\r\nConnection: close\r\nServer: Pontivo 2.0\r\n";

inline std::string Framed(const std::string& body, const std::string& cors = "")
{
    return kHead + (cors.empty() ? "" : "Access-Control-Allow-Origin: " + cors + "\r\n") +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

inline void WriteFile(const std::filesystem::path& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary) << content;
}

// Sweeps, quiet periods and idle limits short enough to pass within a test.
inline HttpTimings FastTimings()
{
    HttpTimings timings;
    timings.sweepMs = 50;
    timings.staleAfterMs = 300;
    timings.quietMs = 200;
    timings.idleTimeoutMs = 400;
    return timings;
}

inline ServerSettings SettingsFor(const QString& comPort = QStringLiteral("16"),
                                  const QString& comSettings = QStringLiteral("9600,n,8,1"))
{
    ServerSettings settings;
    settings.SCKPort = QString::number(FreePort());
    settings.COMPort = comPort;
    settings.COMSettings = comSettings;
    return settings;
}

// Straight through the dispatcher, without a socket.
inline std::string Request(ServerCore& core, const std::string& target)
{
    return BodyOf(core.Dispatcher().Respond("GET " + target + " HTTP/1.1\r\n\r\n"));
}

inline bool Stored(ServerCore& core, const std::string& name, const std::string& value)
{
    return core.Store().Exists(name) && core.Store().Item(name) == value;
}

// Over loopback, running the server's event loop meanwhile.
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
