#include "CommandLine.h"

#include <array>
#include <utility>

namespace pontivo {

CommandLine ParseCommandLine(const std::vector<std::string>& arguments)
{
    CommandLine line;
    const std::array<std::pair<std::string_view, std::string*>, 3> texts{{
        {"--http-port", &line.httpPort},
        {"--com-port", &line.comPort},
        {"--com-settings", &line.comSettings},
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
        if (argument == "--list-ports") {
            line.listPorts = true;
            continue;
        }
        bool known = false;
        for (const auto& [name, target] : texts) {
            const std::string withEquals = std::string(name) + "=";
            if (argument == name) {
                known = true;
                line.serverTextsGiven = true;
                if (i + 1 >= arguments.size())
                    line.error = "option " + argument + " needs a value";
                else
                    *target = arguments[++i];
            } else if (argument.rfind(withEquals, 0) == 0) {
                known = true;
                line.serverTextsGiven = true;
                *target = argument.substr(withEquals.size());
            }
        }
        if (!known)
            line.error = "unknown argument '" + argument + "'";
    }
    if (line.serverTextsGiven && !line.headless && line.error.empty())
        line.error = "--http-port, --com-port and --com-settings go with --headless; the window sets them in its "
                     "Configure menu";
    return line;
}

std::string UsageText()
{
    return "Usage: pontivo [--headless] [--http-port TEXT] [--com-port TEXT] [--com-settings TEXT]\n"
           "       pontivo --help | --version\n"
           "\n"
           "Bridges a board on a serial port and HTTP clients through a store of named variables.\n"
           "\n"
           "  --headless            run without window or tray and start the server at once\n"
           "  --http-port TEXT      HTTP port (default 8085)\n"
           "  --com-port TEXT       serial port number, or a device path starting with / (default 16)\n"
           "  --list-ports          list serial ports and their COM numbers; --com-port auto takes the first USB one\n"
           "  --com-settings TEXT   serial line settings: speed,parity,data bits,stop bits (default 9600,n,8,1)\n"
           "  --help                show this text\n"
           "  --version             show the version\n"
           "\n"
           "Stop a headless server with Ctrl+C or SIGTERM.\n";
}

} // namespace pontivo
