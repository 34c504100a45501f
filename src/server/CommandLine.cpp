#include "server/CommandLine.h"

#include "net/IpAddress.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <charconv>
#include <optional>
#include <tuple>
#include <utility>

namespace pontivo {
namespace {

// The value of `name` when the argument at `i` is "name VALUE" (then `i` moves past it) or "name=VALUE".
std::optional<std::string> OptionValue(const std::vector<std::string>& arguments, std::size_t& i,
                                       std::string_view name, std::string& error)
{
    const std::string& argument = arguments[i];
    if (argument == name) {
        if (i + 1 < arguments.size())
            return arguments[++i];
        error = "option " + argument + " needs a value";
        return std::nullopt;
    }
    if (argument.size() > name.size() && argument.rfind(name, 0) == 0 && argument[name.size()] == '=')
        return argument.substr(name.size() + 1);
    return std::nullopt;
}

using OptionReader = std::string (*)(ServerOptions&, const std::string&);

std::string ReadBind(ServerOptions& options, const std::string& text)
{
    NetworkGuard& guard = options.guard;
    guard.bindAddress = QString::fromStdString(text);
    if (!ParseIpAddress(text))
        return "--bind: '" + text + "' is not an IP address (for example 127.0.0.1 or ::1)";
    return {};
}

std::string ReadOrigins(ServerOptions& options, const std::string& text)
{
    const std::string error = ReadOriginList(text, options.guard.access.allowedOrigins);
    return error.empty() ? error : "--allow-origin: " + error;
}

std::string ReadHosts(ServerOptions& options, const std::string& text)
{
    const std::string error = ReadHostList(text, options.guard.access.allowedHosts);
    return error.empty() ? error : "--allowed-hosts: " + error;
}

std::string ReadBoardHello(ServerOptions& options, const std::string& text)
{
    if (text.empty() || text.find_first_of("{}=") != std::string::npos)
        return "--board-hello: '" + text + "' cannot be a frame's name";
    options.boardHello = text;
    return {};
}

std::string ReadStoreMax(ServerOptions& options, const std::string& text)
{
    const auto bytes = ParseByteSize(text);
    if (!bytes || *bytes < VariableStore::kEntryOverhead || *bytes > SIZE_MAX)
        return "--store-max: '" + text + "' is not a size such as 64MB, 512KB or 1GB";
    options.storeMaxBytes = static_cast<std::size_t>(*bytes);
    return {};
}

std::string ReadCount(const std::string& text, int& count, const std::string& option)
{
    constexpr int kMost = 1000000;
    const auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), count);
    if (failure == std::errc() && end == text.data() + text.size() && count >= 1 && count <= kMost)
        return {};
    return option + ": '" + text + "' is not a number from 1 to " + std::to_string(kMost);
}

std::string ReadClientConnections(ServerOptions& options, const std::string& text)
{
    return ReadCount(text, options.guard.perClient.connections, "--client-connections");
}

std::string ReadClientStreams(ServerOptions& options, const std::string& text)
{
    return ReadCount(text, options.guard.perClient.streams, "--client-streams");
}

std::string ReadRecord(ServerOptions& options, const std::string& text)
{
    options.record.file = text;
    return text.empty() ? "--record needs a file name" : std::string();
}

std::string ReadRecordKeep(ServerOptions& options, const std::string& text)
{
    const auto ms = ParseDurationMs(text);
    if (!ms)
        return "--record-keep: '" + text + "' is not a time such as 90s, 15m, 12h or 7d";
    options.record.keepMs = *ms;
    return {};
}

std::string ReadRecordMax(ServerOptions& options, const std::string& text)
{
    const auto bytes = ParseByteSize(text);
    if (!bytes)
        return "--record-max: '" + text + "' is not a size such as 64MB, 512KB or 1GB";
    options.record.maxBytes = *bytes;
    return {};
}

} // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& arguments)
{
    CommandLine line;
    MqttTexts mqtt;
    // The third field: a server text, which only --headless takes (the window has dialogs for them).
    const std::array<std::tuple<std::string_view, std::string*, bool>, 7> texts{{
        {"--http-port", &line.httpPort, true},
        {"--com-port", &line.comPort, true},
        {"--com-settings", &line.comSettings, true},
        {"--mqtt", &mqtt.url, false},
        {"--mqtt-prefix", &mqtt.prefix, false},
        {"--mqtt-user", &mqtt.user, false},
        {"--mqtt-password-file", &mqtt.passwordFile, false},
    }};
    // These hold for the window's server too.
    const std::array<std::pair<std::string_view, OptionReader>, 10> readers{{
        {"--bind", ReadBind}, {"--allow-origin", ReadOrigins}, {"--allowed-hosts", ReadHosts},
        {"--client-connections", ReadClientConnections}, {"--client-streams", ReadClientStreams},
        {"--store-max", ReadStoreMax}, {"--board-hello", ReadBoardHello},
        {"--record", ReadRecord}, {"--record-keep", ReadRecordKeep}, {"--record-max", ReadRecordMax}}};
    for (std::size_t i = 0; i < arguments.size() && line.error.empty(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--headless") {
            line.headless = true;
            continue;
        }
        if (argument == "--help" || argument == "-h") {
            line.help = true;
            continue;
        }
        if (argument == "--version") {
            line.version = true;
            continue;
        }
        if (argument == "--restore-board") {
            line.options.restoreBoard = true;
            continue;
        }
        if (argument == "--list-ports") {
            line.listPorts = true;
            continue;
        }
        // Its prefix is optional: "--mqtt-discovery=PREFIX", or the next argument unless that is an option.
        if (argument == "--mqtt-discovery" || argument.rfind("--mqtt-discovery=", 0) == 0) {
            const bool next = argument.size() == 16 && i + 1 < arguments.size() && arguments[i + 1].rfind('-', 0) != 0;
            mqtt.discovery = next ? arguments[++i] : argument.substr(std::min<std::size_t>(argument.size(), 17));
            continue;
        }
        if (argument == "--restore") {
            line.options.record.restore = true;
            continue;
        }
        bool known = false;
        for (const auto& [name, target, serverText] : texts) {
            if (const auto value = OptionValue(arguments, i, name, line.error)) {
                known = true;
                line.serverTextsGiven |= serverText;
                *target = *value;
                break;
            }
        }
        for (const auto& [name, read] : readers) {
            const auto value = known ? std::nullopt : OptionValue(arguments, i, name, line.error);
            if (value) {
                known = true;
                line.error = read(line.options, *value);
            }
        }
        if (!known && line.error.empty())
            line.error = "unknown argument '" + argument + "'";
    }
    if (line.error.empty())
        line.error = ReadMqttOptions(mqtt, line.options.mqtt);
    if (line.error.empty() && line.options.record.restore && line.options.record.file.empty())
        line.error = "--restore reads the recording: give --record FILE too";
    if (line.serverTextsGiven && !line.headless && line.error.empty())
        line.error = "--http-port, --com-port and --com-settings go with --headless; the window sets them in its "
                     "Configure menu";
    return line;
}

std::string UsageText()
{
    const ServerSettings defaults;
    return "Usage: pontivo [--headless] [--http-port TEXT] [--com-port TEXT] [--com-settings TEXT]\n"
           "               [--bind ADDRESS] [--allow-origin LIST] [--allowed-hosts LIST]\n"
           "               [--client-connections N] [--client-streams N] [--store-max SIZE]\n"
           "               [--restore-board] [--board-hello NAME]\n"
           "               [--mqtt URL [--mqtt-prefix TEXT] [--mqtt-user NAME --mqtt-password-file PATH]\n"
           "                [--mqtt-discovery [PREFIX]]]\n"
           "               [--record FILE [--restore] [--record-keep TIME] [--record-max SIZE]]\n"
           "       pontivo --help | --version\n"
           "\n"
           "Bridges a board on a serial port and HTTP clients through a store of named variables.\n"
           "\n"
           "  --headless            run without window or tray and start the server at once\n"
           "  --http-port TEXT      HTTP port (default " + defaults.httpPort.toStdString() + ")\n"
           "  --com-port TEXT       serial port number, or a device path starting with / (default " +
           defaults.comPort.toStdString() + ")\n"
           "  --list-ports          list serial ports and their COM numbers; --com-port auto takes the first USB one\n"
           "  --com-settings TEXT   serial line settings: speed,parity,data bits,stop bits (default " +
           defaults.comSettings.toStdString() + ")\n"
           "  --bind ADDRESS        listen on this address only, e.g. 127.0.0.1 or ::1 (default: all)\n"
           "  --allow-origin LIST   comma-separated origins (scheme://host[:port]) whose pages may read the\n"
           "                        answers and change variables (default: every origin); self stands for\n"
           "                        http:// and the request's Host line, the server's own pages\n"
           "  --allowed-hosts LIST  comma-separated host names or addresses; a request naming another in its\n"
           "                        Host line is refused with 403 (default: every host)\n"
           "  --client-connections N  connections one client address may hold at once (default " +
           std::to_string(ClientLimits().connections) + ")\n"
           "  --client-streams N    event streams one client address may hold at once (default " +
           std::to_string(ClientLimits().streams) + ")\n"
           "  --store-max SIZE      refuse new variable names once the store holds this much, e.g. 16MB\n"
           "                        (names, values and 128 bytes each; default 64MB)\n"
           "  --restore-board       when the board's port opens again, write it the variables clients last set\n"
           "                        and it has not reported since\n"
           "  --board-hello NAME    a frame {NAME=...} from the board means it restarted: restore it then too\n"
           "                        (implies --restore-board)\n"
           "  --mqtt URL            mirror the variables on an MQTT broker: mqtt://HOST[:PORT] (port 1883),\n"
           "                        mqtts://HOST[:PORT] (TLS, port 8883)\n"
           "  --mqtt-prefix TEXT    topic prefix (default pontivo)\n"
           "  --mqtt-user NAME      log in to the broker as NAME\n"
           "  --mqtt-password-file PATH  the broker password, read from a file\n"
           "  --mqtt-discovery [PREFIX]  announce the variables to a home-automation hub under PREFIX\n"
           "                        (default " + std::string(kDefaultDiscoveryPrefix) + "); $NAME describes NAME: "
           "KIND[,UNIT[,MIN,MAX]]\n"
           "  --record FILE         keep every write and link change in FILE (an SQLite database)\n"
           "  --restore             fill the store from the recording's last values before serving\n"
           "  --record-keep TIME    drop recorded writes older than this, e.g. 12h or 7d (default 30d)\n"
           "  --record-max SIZE     keep the recording under this size, oldest writes first (default 1GB)\n"
           "  --help                show this text\n"
           "  --version             show the version\n"
           "\n"
           "Stop a headless server with Ctrl+C or SIGTERM.\n";
}

std::optional<std::uint64_t> ParseByteSize(std::string_view text)
{
    constexpr std::array<std::pair<std::string_view, int>, 7> units{
        {{"", 0}, {"B", 0}, {"KB", 10}, {"K", 10}, {"MB", 20}, {"M", 20}, {"GB", 30}}};
    std::size_t digits = 0;
    std::uint64_t number = 0;
    for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9' && digits < 10; ++digits)
        number = number * 10 + static_cast<std::uint64_t>(text[digits] - '0');
    if (digits == 0 || number == 0)
        return std::nullopt;
    for (const auto& [unit, shift] : units) {
        if (text.substr(digits) == unit)
            return number << shift;
    }
    return std::nullopt;
}

} // namespace pontivo
