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

// Where a reading of a query's points stands: after the point of this time and row, with `left` points to go.
struct HistoryCursor {
    std::int64_t timeMs = 0;
    std::int64_t row = 0;
    std::size_t left = 0;
};

// The recorded past of the variables, for pages that chart it. Read on the event loop: answers
// must come from an index, not a scan, and a large one a slice at a time.
class HistorySource {
public:
    virtual ~HistorySource() = default;
    // Readies the cursor before the oldest of the query's points. False (and `error` set) when the
    // recording cannot be read.
    virtual bool Begin(const HistoryQuery& query, HistoryCursor& cursor, std::string& error) const = 0;
    // Appends up to `count` further points, oldest first, and moves the cursor past them; none once
    // `left` is 0 or the points have run out.
    virtual bool Next(const HistoryQuery& query, HistoryCursor& cursor, std::size_t count, std::vector<HistoryPoint>& points,
                      std::string& error) const = 0;
    // All the query's points at once, oldest first; empty for a name never recorded.
    bool History(const HistoryQuery& query, std::vector<HistoryPoint>& points, std::string& error) const
    {
        points.clear();
        HistoryCursor cursor;
        return Begin(query, cursor, error) && Next(query, cursor, cursor.left, points, error);
    }
    // Every name with at least one recorded write, in order of first recording.
    virtual bool RecordedNames(std::vector<std::string>& names, std::string& error) const = 0;
};

} // namespace pontivo
