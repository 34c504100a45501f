#include "SimOptions.h"

#include <charconv>
#include <optional>

namespace pontivo {
namespace {

std::optional<long> PositiveNumber(const std::string& text)
{
    long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < 1)
        return std::nullopt;
    return value;
}

} // namespace

SimOptions ParseSimOptions(const std::vector<std::string>& arguments)
{
    SimOptions options;
    bool countGiven = false;
    bool framesOnly = false;
    for (std::size_t i = 0; i < arguments.size() && options.error.empty(); ++i) {
        const std::string& argument = arguments[i];
        if (framesOnly || argument.rfind("--", 0) != 0) {
            options.frames.push_back(argument);
            continue;
        }
        if (argument == "--") {
            framesOnly = true;
            continue;
        }
        if (argument == "--help") {
            options.help = true;
            continue;
        }
        if (argument != "--link" && argument != "--every" && argument != "--count") {
            options.error = "unknown option '" + argument + "'";
            break;
        }
        if (i + 1 >= arguments.size()) {
            options.error = "option " + argument + " needs a value";
            break;
        }
        const std::string& value = arguments[++i];
        if (argument == "--link") {
            options.linkPath = value;
            continue;
        }
        const auto number = PositiveNumber(value);
        if (!number || (argument == "--every" && *number > 24L * 3600 * 1000))
            options.error = "option " + argument + " needs a positive whole number, not '" + value + "'";
        else if (argument == "--every")
            options.everyMs = static_cast<int>(*number);
        else
            options.rounds = *number;
        countGiven = countGiven || argument == "--count";
    }
    if (options.error.empty() && options.frames.empty() && (options.everyMs > 0 || countGiven))
        options.error = "--every and --count repeat frames given on the command line; none was given";
    if (options.everyMs > 0 && !countGiven)
        options.rounds = 0;
    return options;
}

std::string SimUsage()
{
    return "Usage: pontivo-board-sim [--link PATH] [--every MS] [--count N] [FRAME...]\n"
           "\n"
           "Stands in for a microcontroller board on a pseudo-terminal. The first line on standard\n"
           "output is the port to give Pontivo: pontivo --headless --com-port THAT-PATH\n"
           "Once Pontivo opens the port, each FRAME (such as '{temp=21}') is sent as given;\n"
           "without frames, standard input is sent instead. Every line Pontivo writes to the\n"
           "board is printed as \"board got: LINE\".\n"
           "\n"
           "  --link PATH   also make PATH a symbolic link to the port (a name that stays the same\n"
           "                from run to run); removed at exit\n"
           "  --every MS    send the frames again every MS milliseconds (until stopped, or N times)\n"
           "  --count N     send the frames N times\n"
           "  --help        show this text\n"
           "\n"
           "Ctrl+C, SIGTERM, or the end of standard input (when it is sent) stops it.\n";
}

} // namespace pontivo
