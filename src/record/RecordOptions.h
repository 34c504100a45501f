#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pontivo {

// --record FILE, --restore, --record-keep, --record-max. An empty file: nothing is recorded.
struct RecordOptions {
    static constexpr std::int64_t kDefaultKeepMs = 30LL * 24 * 3600 * 1000;
    static constexpr std::uint64_t kDefaultMaxBytes = std::uint64_t{1} << 30;

    std::string file;
    bool restore = false;
    std::int64_t keepMs = kDefaultKeepMs;
    std::uint64_t maxBytes = kDefaultMaxBytes;
    // How often the writer looks for rows past the limits when the last look found none; tests shorten it.
    std::chrono::milliseconds pruneInterval{30'000};
    // How long writes wait to be committed together: about what a kill loses. Tests lengthen it.
    std::chrono::milliseconds commitInterval{500};
};

// "90s", "15m", "12h", "7d": a whole number above 0 and one unit. Nothing for anything else or
// for more than 100 years.
std::optional<std::int64_t> ParseDurationMs(std::string_view text);

} // namespace pontivo
