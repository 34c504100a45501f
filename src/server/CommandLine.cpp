#include "server/CommandLine.h"

#include "net/IpAddress.h"
#include "serial/LeadingNumber.h"

#include <QCommandLineParser>
#include <QStringList>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cctype>
#include <charconv>
#include <optional>
#include <type_traits>
#include <vector>
#include <utility>

namespace pontivo {
namespace {

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

std::string ReadFrames(ServerOptions& options, const std::string& text)
{
    const auto format = FrameFormatFromText(text);
    options.frames = format.value_or(FrameFormat::Braces);
    return format ? std::string() : "--frames: '" + text + "' is not braces, lines, json or auto";
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

std::string ReadUsers(ServerOptions& options, const std::string& text)
{
    options.usersFile = text;
    return text.empty() ? "--users needs a file name" : std::string();
}

std::string ReadTlsCert(ServerOptions& options, const std::string& text)
{
    options.tls.certFile = text;
    return text.empty() ? "--tls-cert needs a file name" : std::string();
}

std::string ReadTlsKey(ServerOptions& options, const std::string& text)
{
    options.tls.keyFile = text;
    return text.empty() ? "--tls-key needs a file name" : std::string();
}

std::string ReadHttpsPort(ServerOptions& options, const std::string& text)
{
    const auto port = HttpPortFromText(text);
    options.tls.httpsPort = port.value_or(0);
    return port ? std::string() : "--https-port: '" + text + "' is not a number from 1 to 65535";
}

// At most one of the users file commands, its name and role checked.
std::string ReadUserCommand(const QCommandLineParser& parser, CommandLine& line)
{
    constexpr std::array<std::pair<const char*, UserCommand::Kind>, 4> kinds{
        {{"add-user", UserCommand::Kind::AddUser}, {"add-token", UserCommand::Kind::AddToken},
         {"remove-user", UserCommand::Kind::Remove}, {"list-users", UserCommand::Kind::List}}};
    UserCommand& command = line.users;
    for (const auto& [name, kind] : kinds) {
        if (!parser.isSet(QLatin1String(name)))
            continue;
        if (command.kind != UserCommand::Kind::None)
            return "--add-user, --add-token, --remove-user and --list-users go one at a time";
        command.kind = kind;
        if (kind != UserCommand::Kind::List)
            command.name = parser.value(QLatin1String(name)).toStdString();
        if (kind != UserCommand::Kind::List && !ValidUserName(command.name))
            return std::string("--") + name + ": '" + command.name + "' is not 1 to 64 letters, digits or ._@-";
    }
    command.file = line.options.usersFile.empty() ? kDefaultUsersFile : line.options.usersFile;
    if (!parser.isSet(QStringLiteral("role")))
        return {};
    const auto role = RoleFromText(parser.value(QStringLiteral("role")).toStdString());
    if (command.kind != UserCommand::Kind::AddUser && command.kind != UserCommand::Kind::AddToken)
        return "--role goes with --add-user or --add-token";
    command.role = role.value_or(Role::Read);
    return role ? std::string() : "--role: '" + parser.value(QStringLiteral("role")).toStdString() + "' is not read or write";
}

// Every option once: its names, its value's name (none for a switch) and its line in --help.
struct OptionSpec {
    const char* name;
    const char* valueName;
    std::string description;
};

std::vector<OptionSpec> Options()
{
    const ServerSettings settings;
    const ClientLimits limits;
    const auto fallback = [](const auto& value) {
        if constexpr (std::is_same_v<std::decay_t<decltype(value)>, QString>)
            return " (default " + value.toStdString() + ")";
        else
            return " (default " + std::to_string(value) + ")";
    };
    return {
    {"headless", nullptr, "run without window or tray and start the server at once"},
    {"http-port", "TEXT", "HTTP port" + fallback(settings.httpPort)},
    {"com-port", "TEXT", "serial port number, or a device path starting with /" + fallback(settings.comPort)},
    {"list-ports", nullptr, "list serial ports and their COM numbers; --com-port auto takes the first USB one"},
    {"com-settings", "TEXT", "serial line settings: speed,parity,data bits,stop bits" + fallback(settings.comSettings)},
    {"frames", "FORMAT", "how the board writes its values: braces ({name=value}), lines (name:value,... or bare "
                         "numbers per line, as for a serial plotter), json (one object per line) or auto (each line "
                         "as it looks; default braces)"},
    {"bind", "ADDRESS", "listen on this address only, e.g. 127.0.0.1 or ::1 (default: all)"},
    {"allow-origin", "LIST", "comma-separated origins (scheme://host[:port]) whose pages may read the answers and "
                             "change variables (default: every origin); self stands for http:// and the request's "
                             "Host line, the server's own pages"},
    {"allowed-hosts", "LIST", "comma-separated host names or addresses; a request naming another in its Host line "
                              "is refused with 403 (default: every host)"},
    {"client-connections", "N", "connections one client address may hold at once" + fallback(limits.connections)},
    {"client-streams", "N", "event streams one client address may hold at once" + fallback(limits.streams)},
    {"store-max", "SIZE", "refuse new variable names once the store holds this much, e.g. 16MB (names, values and "
                          "128 bytes each; default 64MB)"},
    {"restore-board", nullptr, "when the board's port opens again, write it the variables clients last set and it "
                               "has not reported since"},
    {"board-hello", "NAME", "a frame {NAME=...} from the board means it restarted: restore it then too (implies "
                            "--restore-board)"},
    {"mqtt", "URL", "mirror the variables on an MQTT broker: HOST[:PORT] or mqtt://HOST[:PORT] (port 1883), "
                    "mqtts://HOST[:PORT] (TLS, port 8883)"},
    {"mqtt-prefix", "TEXT", "topic prefix (default pontivo)"},
    {"mqtt-user", "NAME", "log in to the broker as NAME"},
    {"mqtt-password-file", "PATH", "the broker password, read from a file"},
    {"mqtt-discovery", "PREFIX", "announce the variables to a home-automation hub under PREFIX (optional; default " +
                                 std::string(kDefaultDiscoveryPrefix) + "); $NAME describes NAME: "
                                 "KIND[,UNIT[,MIN,MAX[,DEVICE_CLASS]]]"},
    {"mqtt-entities", "N", "announce at most N variables to the hub (default 1000)"},
    {"public-url", "URL", "the server's address as the hub reaches it, for its links (default http://THIS-HOST:PORT)"},
    {"record", "FILE", "keep every write and link change in FILE (an SQLite database)"},
    {"restore", nullptr, "fill the store from the recording's last values before serving"},
    {"record-keep", "TIME", "drop recorded writes older than this, e.g. 12h or 7d (default 30d)"},
    {"record-max", "SIZE", "keep the recording under this size, oldest writes first (default 1GB)"},
    {"users", "FILE", "ask every client for a login (HTTP Basic or a Bearer token) from the users in FILE; "
                      "SIGHUP reads it again"},
    {"tls-cert", "FILE", "serve HTTPS too, with this certificate (PEM, the chain after it); needs --tls-key"},
    {"tls-key", "FILE", "the certificate's private key (PEM, readable by the owner only); SIGHUP reads both again"},
    {"https-port", "PORT", "HTTPS port (default 8443); plain HTTP from other machines is sent there with a 308"},
    {"add-user", "NAME", std::string("add NAME to the users file (--users, default ") + kDefaultUsersFile +
                         ") or change its password, asked for twice (or one line from standard input)"},
    {"add-token", "NAME", "add a token for scripts under NAME, printed once (Authorization: Bearer TOKEN)"},
    {"remove-user", "NAME", "remove NAME's login or token from the users file"},
    {"list-users", nullptr, "list the users file's names and roles"},
    {"role", "ROLE", "with --add-user or --add-token: read (reading commands, /events, GET under /api/, "
                     "/metrics, /files/) or write (everything; default read)"},
    {"help", nullptr, "show this text"},
    {"version", nullptr, "show the version"},
    };
}

// One parser for both the options and their help text.
class OptionTable {
public:
    OptionTable()
    {
        for (const OptionSpec& spec : Options()) {
            QStringList names{QString::fromLatin1(spec.name)};
            if (names.front() == QLatin1String("help")) // -h too
                names.prepend(QStringLiteral("h"));
            m_parser.addOption(QCommandLineOption(names, QString::fromStdString(spec.description),
                                                  spec.valueName ? QString::fromLatin1(spec.valueName) : QString()));
        }
    }
    QCommandLineParser& Parser() { return m_parser; }

private:
    QCommandLineParser m_parser;
};

// "--mqtt-discovery" takes its prefix only when one follows; the parser wants every value given.
QStringList WithDiscoveryPrefixJoined(const std::vector<std::string>& arguments)
{
    QStringList joined{QStringLiteral("pontivo")};
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        QString argument = QString::fromLocal8Bit(arguments[i]);
        if (argument == QLatin1String("--mqtt-discovery")) {
            const bool prefixFollows = i + 1 < arguments.size() && arguments[i + 1].rfind('-', 0) != 0;
            argument += QLatin1Char('=') + (prefixFollows ? QString::fromLocal8Bit(arguments[++i]) : QString());
        }
        joined.append(argument);
    }
    return joined;
}

// The parser names an unknown option without its dashes: say it as it was typed.
std::string UnknownOption(const QStringList& arguments, const QString& name)
{
    for (const QString& argument : arguments) {
        const QString typed = argument.section(QLatin1Char('='), 0, 0);
        if (typed == QLatin1String("--") + name || typed == QLatin1Char('-') + name)
            return typed.toStdString();
    }
    return (QLatin1Char('-') + name).toStdString(); // one letter of a group such as -hx
}

std::string ParseError(const QCommandLineParser& parser, const QStringList& arguments)
{
    if (const QStringList unknown = parser.unknownOptionNames(); !unknown.isEmpty())
        return "unknown option '" + UnknownOption(arguments, unknown.front()) + "'";
    std::string text = parser.errorText().toStdString(); // "Missing value after '--http-port'."
    if (!text.empty() && text.back() == '.')
        text.pop_back();
    if (!text.empty())
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

std::string ReadOptions(const QCommandLineParser& parser, CommandLine& line)
{
    MqttTexts mqtt;
    const auto text = [&](const char* name, std::string& target, bool serverText) {
        if (parser.isSet(QLatin1String(name))) {
            target = parser.value(QLatin1String(name)).toStdString();
            line.serverTextsGiven |= serverText;
        }
    };
    // Only --headless takes the server texts (the window has dialogs for them).
    text("http-port", line.httpPort, true);
    text("com-port", line.comPort, true);
    text("com-settings", line.comSettings, true);
    text("mqtt", mqtt.url, false);
    text("mqtt-prefix", mqtt.prefix, false);
    text("mqtt-user", mqtt.user, false);
    text("mqtt-password-file", mqtt.passwordFile, false);
    if (parser.isSet(QStringLiteral("mqtt-discovery")))
        mqtt.discovery = parser.value(QStringLiteral("mqtt-discovery")).toStdString();
    text("mqtt-entities", mqtt.entities, false);
    text("public-url", mqtt.publicUrl, false);
    // These hold for the window's server too.
    const std::array<std::pair<const char*, OptionReader>, 15> readers{{
        {"frames", ReadFrames}, {"bind", ReadBind}, {"allow-origin", ReadOrigins}, {"allowed-hosts", ReadHosts},
        {"client-connections", ReadClientConnections}, {"client-streams", ReadClientStreams},
        {"store-max", ReadStoreMax}, {"board-hello", ReadBoardHello},
        {"record", ReadRecord}, {"record-keep", ReadRecordKeep}, {"record-max", ReadRecordMax}, {"users", ReadUsers},
        {"tls-cert", ReadTlsCert}, {"tls-key", ReadTlsKey}, {"https-port", ReadHttpsPort}}};
    for (const auto& [name, read] : readers) {
        if (!parser.isSet(QLatin1String(name)))
            continue;
        if (std::string error = read(line.options, parser.value(QLatin1String(name)).toStdString()); !error.empty())
            return error;
    }
    return ReadMqttOptions(mqtt, line.options.mqtt);
}

} // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& arguments)
{
    CommandLine line;
    OptionTable table;
    QCommandLineParser& parser = table.Parser();
    const QStringList joined = WithDiscoveryPrefixJoined(arguments);
    if (!parser.parse(joined)) {
        line.error = ParseError(parser, joined);
        return line;
    }
    if (!parser.positionalArguments().isEmpty()) {
        line.error = "unknown argument '" + parser.positionalArguments().front().toStdString() + "'";
        return line;
    }
    const auto isSet = [&](const char* name) { return parser.isSet(QLatin1String(name)); };
    line.headless = isSet("headless");
    line.help = isSet("help");
    line.version = isSet("version");
    line.listPorts = isSet("list-ports");
    line.options.restoreBoard = isSet("restore-board");
    line.options.record.restore = isSet("restore");
    line.error = ReadOptions(parser, line);
    if (line.error.empty())
        line.error = ReadUserCommand(parser, line);
    if (line.error.empty() && line.options.record.restore && line.options.record.file.empty())
        line.error = "--restore reads the recording: give --record FILE too";
    if (line.error.empty() && line.options.tls.certFile.empty() != line.options.tls.keyFile.empty())
        line.error = "--tls-cert and --tls-key go together";
    if (line.serverTextsGiven && !line.headless && line.error.empty())
        line.error = "--http-port, --com-port and --com-settings go with --headless; the window sets them in its "
                     "Configure menu";
    return line;
}

std::string UsageText()
{
    std::string text = "Usage: pontivo [--headless] [--http-port TEXT] [--com-port TEXT] [--com-settings TEXT]\n"
                       "               [--bind ADDRESS] [--allow-origin LIST] [--allowed-hosts LIST]\n"
                       "               [--client-connections N] [--client-streams N] [--store-max SIZE]\n"
                       "               [--restore-board] [--board-hello NAME] [--frames FORMAT]\n"
                       "               [--mqtt URL [--mqtt-prefix TEXT] [--mqtt-user NAME --mqtt-password-file PATH]\n"
                       "                [--mqtt-discovery [PREFIX] [--mqtt-entities N] [--public-url URL]]]\n"
                       "               [--record FILE [--restore] [--record-keep TIME] [--record-max SIZE]]\n"
                       "               [--users FILE] [--tls-cert FILE --tls-key FILE [--https-port PORT]]\n"
                       "       pontivo [--users FILE] --add-user NAME | --add-token NAME [--role read|write]\n"
                       "       pontivo [--users FILE] --remove-user NAME | --list-users\n"
                       "       pontivo --help | --version\n"
                       "\n"
                       "Bridges a board on a serial port and HTTP clients through a store of named variables.\n"
                       "\n";
    OptionTable table;
    // The parser's own list of the options, without its first line (it names no program yet).
    const QString help = table.Parser().helpText();
    const qsizetype options = help.indexOf(QLatin1String("Options:"));
    text += (options < 0 ? help : help.mid(options)).toStdString();
    return text + "\nStop a headless server with Ctrl+C or SIGTERM.\n";
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
