#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pontivo {

class VariableStore;

// What every client library of the format exports about its process; a figure the system does not give is left out.
struct ProcessFigures {
    std::optional<double> residentBytes;
    std::optional<double> cpuSeconds;
    std::optional<double> openDescriptors;
    std::optional<double> maxDescriptors;
    double startTime = 0; // seconds since the Unix epoch
};

// The recording's health, with --record only.
struct RecordingFigures {
    bool up = false;
    std::uint64_t dropped = 0;
    std::uint64_t bytes = 0;
};

struct RequestFigure {
    std::string_view command;
    int status;
    std::uint64_t count;
};

// The bridge's health at one moment, as the /metrics answer shows it.
struct MetricsFigures {
    bool linkUp = false;
    std::uint64_t framesReceived = 0;
    std::uint64_t framesMalformed = 0;
    std::uint64_t linesSent = 0;
    std::vector<RequestFigure> requests; // by command and status
    int eventStreams = 0;
    std::optional<bool> mqttConnected;           // none without --mqtt
    std::optional<double> secondsSinceLastFrame; // none before the first frame
    std::optional<RecordingFigures> recording;
    ProcessFigures process;
};

// The text exposition format (version 0.0.4): the figures, then every variable whose value is a number.
std::string MetricsText(const MetricsFigures& figures, const VariableStore& store);

// A value counts when the whole of it is a finite decimal number as from_chars reads it: an optional
// "-", digits with an optional point and exponent. No "+", spaces, hex, inf or nan: a board that
// prints "nan" has no reading, and the series goes stale rather than plotting one.
std::optional<double> MetricValue(std::string_view value);

// The labels of a variable: name="..." with backslash, quote and line feed escaped. A name that is
// not UTF-8 shows U+FFFD for each stray byte and adds name_hex="..." (its bytes), so that names
// which differ only there stay apart.
std::string VariableLabels(std::string_view name);

} // namespace pontivo
