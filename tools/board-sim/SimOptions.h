#pragma once

#include "Waves.h"
#include "serial/FrameFormat.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace pontivo {

struct SimOptions {
    std::string linkPath;            // empty: no link
    std::vector<std::string> frames; // empty: send standard input instead
    int everyMs = 0;                 // pause between rounds of frames
    long rounds = 1;                 // rounds of frames; 0 repeats until stopped
    std::string replayPath;          // non-empty: play the board's writes from this recording
    double speed = 1.0;              // the recording's pace times this
    std::int64_t fromMs = std::numeric_limits<std::int64_t>::min(); // writes recorded at or after this
    bool loop = false;               // from the first write again after the last
    bool echo = false;               // report every name=value line received back as a frame
    std::vector<WaveSpec> waves;     // values made by the simulator itself
    FrameFormat format = FrameFormat::Braces; // how echoes, waves and given frames are written
    bool help = false;
    std::string error;               // set when the arguments cannot be used
};

SimOptions ParseSimOptions(const std::vector<std::string>& arguments);
std::string SimUsage();
// "1717236000000" (UTC milliseconds since 1970) or "2024-06-01T10:00:00" (UTC, a final Z allowed).
std::optional<std::int64_t> ParseRecordedTime(const std::string& text);

} // namespace pontivo
