#include "CommandLine.h"

#include <array>
#include <tuple>

namespace pontivo {

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
        bool known = false;
        for (const auto& [name, target, serverText] : texts) {
            const std::string withEquals = std::string(name) + "=";
            if (argument == name) {
                known = true;
                line.serverTextsGiven |= serverText;
                if (i + 1 >= arguments.size())
                    line.error = "option " + argument + " needs a value";
                else
                    *target = arguments[++i];
            } else if (argument.rfind(withEquals, 0) == 0) {
                known = true;
                line.serverTextsGiven |= serverText;
                *target = argument.substr(withEquals.size());
            }
        }
        if (!known)
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
    return "Usage: pontivo [--headless] [--http-port TEXT] [--com-port TEXT] [--com-settings TEXT]\n"
           "               [--mqtt URL [--mqtt-prefix TEXT] [--mqtt-user NAME --mqtt-password-file PATH]]\n"
           "       pontivo --help | --version\n"
           "\n"
           "Bridges a board on a serial port and HTTP clients through a store of named variables.\n"
           "\n"
           "  --headless            run without window or tray and start the server at once\n"
           "  --http-port TEXT      HTTP port (default 8085)\n"
           "  --com-port TEXT       serial port number, or a device path starting with / (default 16)\n"
           "  --com-settings TEXT   serial line settings: speed,parity,data bits,stop bits (default 9600,n,8,1)\n"
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
