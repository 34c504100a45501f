#include "SimOptions.h"

#include <charconv>
#include <cstdio>
#include <ctime>
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

// The options that take a value and belong to --replay.
std::string ReadReplayOption(SimOptions& options, const std::string& argument, const std::string& value)
{
    if (argument == "--replay") {
        options.replayPath = value;
        return {};
    }
    if (argument == "--from") {
        const auto ms = ParseRecordedTime(value);
        options.fromMs = ms.value_or(0);
        return ms ? std::string() : "option --from needs a time such as 2024-06-01T10:00:00 (UTC), not '" + value + "'";
    }
    double speed = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), speed);
    options.speed = speed;
    const bool valid = error == std::errc() && end == value.data() + value.size() && speed >= 0.001 && speed <= 1e6;
    return valid ? std::string() : "option --speed needs a factor from 0.001 to 1000000, not '" + value + "'";
}

// The options that shape what the simulator writes by itself.
std::string ReadOutputOption(SimOptions& options, const std::string& argument, const std::string& value)
{
    if (argument == "--wave") {
        std::string error;
        if (auto wave = ParseWave(value, error))
            options.waves.push_back(std::move(*wave));
        return error;
    }
    const auto format = FrameFormatFromText(value);
    if (!format || *format == FrameFormat::Auto)
        return "option --frames needs braces, lines or json, not '" + value + "'";
    options.format = *format;
    return {};
}

} // namespace

std::optional<std::int64_t> ParseRecordedTime(const std::string& text)
{
    std::int64_t ms = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), ms);
    if (error == std::errc() && end == text.data() + text.size())
        return ms;
    std::tm parts{};
    int used = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &parts.tm_year, &parts.tm_mon, &parts.tm_mday,
                    &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &used) != 6 ||
        (text.substr(static_cast<std::size_t>(used)) != "" && text.substr(static_cast<std::size_t>(used)) != "Z"))
        return std::nullopt;
    const bool inRange = parts.tm_mon >= 1 && parts.tm_mon <= 12 && parts.tm_mday >= 1 && parts.tm_mday <= 31 &&
                         parts.tm_hour <= 23 && parts.tm_min <= 59 && parts.tm_sec <= 60;
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    return inRange ? std::optional<std::int64_t>(static_cast<std::int64_t>(::timegm(&parts)) * 1000) : std::nullopt;
}

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
        if (argument == "--help" || argument == "--loop" || argument == "--echo") {
            (argument == "--help" ? options.help : argument == "--loop" ? options.loop : options.echo) = true;
            continue;
        }
        const bool replayOption = argument == "--replay" || argument == "--speed" || argument == "--from";
        const bool outputOption = argument == "--wave" || argument == "--frames";
        if (argument != "--link" && argument != "--every" && argument != "--count" && !replayOption && !outputOption) {
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
        if (replayOption || outputOption) {
            options.error = replayOption ? ReadReplayOption(options, argument, value)
                                         : ReadOutputOption(options, argument, value);
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
    const bool replayTuned = options.speed != 1.0 || options.fromMs != SimOptions().fromMs || options.loop;
    if (options.error.empty() && options.replayPath.empty() && replayTuned)
        options.error = "--speed, --from and --loop go with --replay FILE";
    if (options.error.empty() && !options.replayPath.empty() && (!options.frames.empty() || !options.waves.empty()))
        options.error = "--replay plays the recording's frames; give no frames or waves with it";
    if (options.everyMs > 0 && !countGiven)
        options.rounds = 0;
    return options;
}

std::string SimUsage()
{
    return "Usage: pontivo-board-sim [--link PATH] [--echo] [--wave NAME=KIND:MIN:MAX:TIME]... [--frames FORMAT]\n"
           "                         [--every MS] [--count N] [FRAME...]\n"
           "       pontivo-board-sim [--link PATH] --replay FILE [--speed X] [--from TIME] [--loop]\n"
           "\n"
           "Stands in for a microcontroller board on a pseudo-terminal. The first line on standard\n"
           "output is the port to give Pontivo: pontivo --headless --com-port THAT-PATH\n"
           "Once Pontivo opens the port, each FRAME (such as '{temp=21}') is sent as given (as a\n"
           "line with --frames lines or json); without frames or waves, standard input is sent\n"
           "instead. Every line Pontivo writes to the board is printed as \"board got: LINE\".\n"
           "\n"
           "  --link PATH   also make PATH a symbolic link to the port (a name that stays the same\n"
           "                from run to run); removed at exit\n"
           "  --echo        apply every NAME=VALUE line received and report it back, as the\n"
           "                example sketch does with led=on\n"
           "  --wave NAME=KIND:MIN:MAX:TIME  send NAME by itself, between MIN and MAX: sine (one\n"
           "                cycle per TIME, 10 values a cycle), ramp (up by one every TIME, then\n"
           "                from MIN again), random (a new value every TIME); TIME as 500ms, 10s\n"
           "                or 1m. For example --wave sensor=sine:15:25:10s\n"
           "  --frames FORMAT  write echoes and waves as braces ({name=value}, the default), lines\n"
           "                (name:value) or json ({\"name\":value}), one per line\n"
           "  --every MS    send the frames again every MS milliseconds (until stopped, or N times)\n"
           "  --count N     send the frames N times\n"
           "  --replay FILE play the board's frames from a recording (pontivo --record FILE) at their\n"
           "                recorded pace, from its first frame once the port is opened\n"
           "  --speed X     play X times as fast (0.5 is half as fast; default 1)\n"
           "  --from TIME   start at the first frame recorded at or after TIME: UTC as\n"
           "                2024-06-01T10:00:00, or milliseconds since 1970\n"
           "  --loop        start again from the first frame after the last\n"
           "  --help        show this text\n"
           "\n"
           "Ctrl+C, SIGTERM, or the end of standard input (when it is sent) stops it.\n";
}

} // namespace pontivo
