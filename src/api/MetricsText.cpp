#include "api/MetricsText.h"

#include "store/VariableStore.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

namespace pontivo {
namespace {

// Lead bytes of multi-byte UTF-8 sequences: the range, the length, and the range allowed for the
// second byte (which rules out overlong forms, surrogates and code points above U+10FFFF).
struct Lead {
    unsigned char first, last;
    std::size_t length;
    unsigned char secondLow, secondHigh;
};
constexpr std::array<Lead, 8> kLeads{{
    {0xC2, 0xDF, 2, 0x80, 0xBF}, {0xE0, 0xE0, 3, 0xA0, 0xBF}, {0xE1, 0xEC, 3, 0x80, 0xBF},
    {0xED, 0xED, 3, 0x80, 0x9F}, {0xEE, 0xEF, 3, 0x80, 0xBF}, {0xF0, 0xF0, 4, 0x90, 0xBF},
    {0xF1, 0xF3, 4, 0x80, 0xBF}, {0xF4, 0xF4, 4, 0x80, 0x8F},
}};

// Bytes of the UTF-8 character at `at`; 0 when no character starts there.
std::size_t CharacterLength(std::string_view text, std::size_t at)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    if (byte(0) < 0x80)
        return 1;
    const auto* lead = std::find_if(kLeads.begin(), kLeads.end(),
                                    [&](const Lead& l) { return byte(0) >= l.first && byte(0) <= l.last; });
    if (lead == kLeads.end() || text.size() - at < lead->length || byte(1) < lead->secondLow ||
        byte(1) > lead->secondHigh)
        return 0;
    for (std::size_t i = 2; i < lead->length; ++i) {
        if ((byte(i) & 0xC0) != 0x80)
            return 0;
    }
    return lead->length;
}

// Whole numbers as integers (counters, 1e9 as 1000000000), others in the shortest form that reads back.
void AppendNumber(std::string& text, double value)
{
    std::array<char, 32> digits{};
    constexpr double kExactWhole = 9007199254740992.0; // 2^53
    const bool whole = std::abs(value) < kExactWhole && value == std::trunc(value);
    const auto [end, error] = whole
        ? std::to_chars(digits.data(), digits.data() + digits.size(), static_cast<std::int64_t>(value))
        : std::to_chars(digits.data(), digits.data() + digits.size(), value);
    text.append(digits.data(), error == std::errc() ? end : digits.data());
}

void Family(std::string& text, std::string_view name, std::string_view type, std::string_view help)
{
    text.append("# HELP ").append(name).append(" ").append(help).append("\n");
    text.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void Sample(std::string& text, std::string_view name, std::string_view labels, double value)
{
    text.append(name);
    if (!labels.empty())
        text.append("{").append(labels).append("}");
    text.append(" ");
    AppendNumber(text, value);
    text.append("\n");
}

void Single(std::string& text, std::string_view name, std::string_view type, std::string_view help, double value)
{
    Family(text, name, type, help);
    Sample(text, name, {}, value);
}

void Optional(std::string& text, std::string_view name, std::string_view type, std::string_view help,
              std::optional<double> value)
{
    if (value)
        Single(text, name, type, help, *value);
}

void ProcessText(std::string& text, const ProcessFigures& process)
{
    Optional(text, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.", process.residentBytes);
    Optional(text, "process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.",
             process.cpuSeconds);
    Optional(text, "process_open_fds", "gauge", "Number of open file descriptors.", process.openDescriptors);
    Optional(text, "process_max_fds", "gauge", "Maximum number of open file descriptors.", process.maxDescriptors);
    Single(text, "process_start_time_seconds", "gauge", "Start time of the process since the Unix epoch in seconds.",
           process.startTime);
}

void RecordingText(std::string& text, const RecordingFigures& recording)
{
    Single(text, "pontivo_recording_up", "gauge", "Whether writes reach the recording (--record).", recording.up ? 1 : 0);
    Single(text, "pontivo_recording_dropped_total", "counter", "Writes dropped because the disk could not keep up.",
           static_cast<double>(recording.dropped));
    Single(text, "pontivo_recording_bytes", "gauge", "Size of the recording and its write-ahead log in bytes.",
           static_cast<double>(recording.bytes));
}

} // namespace

std::optional<double> MetricValue(std::string_view value)
{
    double number = 0;
    const char* const end = value.data() + value.size();
    const auto [stop, error] = std::from_chars(value.data(), end, number);
    if (value.empty() || error != std::errc() || stop != end || !std::isfinite(number))
        return std::nullopt;
    return number;
}

std::string VariableLabels(std::string_view name)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string labels = "name=\"";
    bool stray = false;
    for (std::size_t at = 0; at < name.size();) {
        const std::size_t length = CharacterLength(name, at);
        const char c = name[at];
        if (length == 0)
            labels.append("\xEF\xBF\xBD"); // U+FFFD
        else if (c == '\\' || c == '"')
            labels.append(1, '\\').append(1, c);
        else if (c == '\n')
            labels.append("\\n");
        else
            labels.append(name.substr(at, length));
        stray = stray || length == 0;
        at += std::max<std::size_t>(length, 1);
    }
    labels.append("\"");
    if (!stray)
        return labels;
    labels.append(",name_hex=\"");
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        labels.append(1, kHex[byte >> 4]).append(1, kHex[byte & 0x0F]);
    }
    return labels.append("\"");
}

std::string MetricsText(const MetricsFigures& figures, const VariableStore& store)
{
    std::string text;
    text.reserve(1024 + store.Count() * 48);
    Single(text, "pontivo_link_up", "gauge", "Whether the board's serial port is open.", figures.linkUp ? 1 : 0);
    Single(text, "pontivo_frames_received_total", "counter", "Frames read from the board and applied.",
           static_cast<double>(figures.framesReceived));
    Single(text, "pontivo_frames_malformed_total", "counter",
           "Frames or lines from the board that could not be read: without '=', too long, cut, or not in the "
           "--frames format.",
           static_cast<double>(figures.framesMalformed));
    Single(text, "pontivo_lines_sent_total", "counter", "Lines written to the board.",
           static_cast<double>(figures.linesSent));
    Family(text, "pontivo_requests_total", "counter", "HTTP requests by command and answer status.");
    for (const RequestFigure& request : figures.requests)
        Sample(text, "pontivo_requests_total",
               "command=\"" + std::string(request.command) + "\",code=\"" + std::to_string(request.status) + "\"",
               static_cast<double>(request.count));
    Single(text, "pontivo_event_streams", "gauge", "Event streams open.", figures.eventStreams);
    if (figures.mqttConnected)
        Single(text, "pontivo_mqtt_connected", "gauge", "Whether the MQTT broker is connected.",
               *figures.mqttConnected ? 1 : 0);
    if (figures.secondsSinceLastFrame)
        Single(text, "pontivo_last_frame_age_seconds", "gauge", "Seconds since the board's last frame.",
               *figures.secondsSinceLastFrame);
    if (figures.recording)
        RecordingText(text, *figures.recording);
    ProcessText(text, figures.process);
    Family(text, "pontivo_variable", "gauge", "Variables whose value is a number.");
    store.ForEach([&text](const std::string& name, const std::string& value) {
        if (const std::optional<double> number = MetricValue(value))
            Sample(text, "pontivo_variable", VariableLabels(name), *number);
    });
    return text;
}

} // namespace pontivo
