#include "CommandLine.h"

#include "IpAddress.h"

#include <array>
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

using GuardReader = std::string (*)(NetworkGuard&, const std::string&);

std::string ReadBind(NetworkGuard& guard, const std::string& text)
{
    guard.bindAddress = QString::fromStdString(text);
    if (!ParseIpAddress(text))
        return "--bind: '" + text + "' is not an IP address (for example 127.0.0.1 or ::1)";
    return {};
}

std::string ReadOrigins(NetworkGuard& guard, const std::string& text)
{
    const std::string error = ReadOriginList(text, guard.access.allowedOrigins);
    return error.empty() ? error : "--allow-origin: " + error;
}

std::string ReadHosts(NetworkGuard& guard, const std::string& text)
{
    const std::string error = ReadHostList(text, guard.access.allowedHosts);
    return error.empty() ? error : "--allowed-hosts: " + error;
}

std::string ReadCount(const std::string& text, int& count, const std::string& option)
{
    constexpr int kMost = 1000000;
    const auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), count);
    if (failure == std::errc() && end == text.data() + text.size() && count >= 1 && count <= kMost)
        return {};
    return option + ": '" + text + "' is not a number from 1 to " + std::to_string(kMost);
}

std::string ReadClientConnections(NetworkGuard& guard, const std::string& text)
{
    return ReadCount(text, guard.perClient.connections, "--client-connections");
}

std::string ReadClientStreams(NetworkGuard& guard, const std::string& text)
{
    return ReadCount(text, guard.perClient.streams, "--client-streams");
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
    // The guards hold for the window's server too.
    const std::array<std::pair<std::string_view, GuardReader>, 5> guards{{
        {"--bind", ReadBind}, {"--allow-origin", ReadOrigins}, {"--allowed-hosts", ReadHosts},
        {"--client-connections", ReadClientConnections}, {"--client-streams", ReadClientStreams}}};
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
        if (argument == "--list-ports") {
            line.listPorts = true;
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
        for (const auto& [name, read] : guards) {
            const auto value = known ? std::nullopt : OptionValue(arguments, i, name, line.error);
            if (value) {
                known = true;
                line.error = read(line.guard, *value);
            }
        }
        if (!known && line.error.empty())
            line.error = "unknown argument '" + argument + "'";
    }
    if (line.error.empty())
        line.error = ReadMqttOptions(mqtt, line.mqtt);
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
           "               [--client-connections N] [--client-streams N]\n"
           "               [--mqtt URL [--mqtt-prefix TEXT] [--mqtt-user NAME --mqtt-password-file PATH]]\n"
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
           "                        answers and change variables (default: every origin)\n"
           "  --allowed-hosts LIST  comma-separated host names or addresses; a request naming another in its\n"
           "                        Host line is refused with 403 (default: every host)\n"
           "  --client-connections N  connections one client address may hold at once (default " +
           std::to_string(ClientLimits().connections) + ")\n"
           "  --client-streams N    event streams one client address may hold at once (default " +
           std::to_string(ClientLimits().streams) + ")\n"
           "  --mqtt URL            mirror the variables on an MQTT broker: mqtt://HOST[:PORT] (port 1883),\n"
           "                        mqtts://HOST[:PORT] (TLS, port 8883)\n"
           "  --mqtt-prefix TEXT    topic prefix (default pontivo)\n"
           "  --mqtt-user NAME      log in to the broker as NAME\n"
           "  --mqtt-password-file PATH  the broker password, read from a file\n"
           "  --help                show this text\n"
           "  --version             show the version\n"
           "\n"
           "Stop a headless server with Ctrl+C or SIGTERM.\n";
}

} // namespace pontivo
