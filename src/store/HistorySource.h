#pragma once

#include "store/WriteSource.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pontivo {

// The first and last millisecond of years 0 to 9999: times read from a file are kept within them, so that
// date arithmetic on them cannot overflow.
constexpr std::int64_t kFirstTimeMs = -62'167'219'200'000;
constexpr std::int64_t kLastTimeMs = 253'402'300'799'999;
constexpr std::int64_t ClampedTimeMs(std::int64_t ms)
{
    return ms < kFirstTimeMs ? kFirstTimeMs : ms > kLastTimeMs ? kLastTimeMs : ms;
}

struct HistoryPoint {
    std::int64_t timeMs = 0; // UTC milliseconds since 1970
    std::string value;
    WriteSource source = WriteSource::Http;
};

struct HistoryQuery {
    std::string name;
    std::optional<std::int64_t> sinceMs; // inclusive
    std::optional<std::int64_t> untilMs; // inclusive
    std::size_t limit = 10'000;          // the newest `limit` points of the range, returned oldest first
};

// The recorded past of the variables, for pages that chart it. Read on the event loop: answers
// must come from an index, not a scan.
class HistorySource {
public:
    virtual ~HistorySource() = default;
    // Oldest first; empty for a name never recorded. False (and `error` set) when the recording
    // cannot be read.
    virtual bool History(const HistoryQuery& query, std::vector<HistoryPoint>& points, std::string& error) const = 0;
    // Every name with at least one recorded write, in order of first recording.
    virtual bool RecordedNames(std::vector<std::string>& names, std::string& error) const = 0;
};

} // namespace pontivo
