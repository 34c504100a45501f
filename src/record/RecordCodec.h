#pragma once

#include "RecordEvent.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace pontivo {

// The recording's two packed forms. A batch is the writes of one commit, in order, kept until they
// are sorted into chunks; a chunk is one name's values over a stretch of time. Packing many writes
// into one row is what keeps recording cheap: SQLite's cost is per row, not per byte.

// One write, removal or reset as a batch holds it; the views point into the batch.
struct LoggedEvent {
    RecordEvent::Kind kind = RecordEvent::Kind::Set;
    std::int64_t timeMs = 0;
    WriteSource source = WriteSource::Http;
    std::string_view name;
    std::string_view value;
};

// One recorded value of a name. `seq` orders all writes of the recording.
struct RecordedPoint {
    std::int64_t seq = 0;
    std::int64_t timeMs = 0;
    WriteSource source = WriteSource::Http;
    std::string_view value;
};

// Link events are not batched (they have a table of their own): Set, Unset and Reset only.
std::string PackBatch(std::vector<RecordEvent>::const_iterator begin, std::vector<RecordEvent>::const_iterator end);
// False when the bytes are no batch (a damaged file): the events before the damage were visited.
bool UnpackBatch(std::string_view packed, const std::function<void(const LoggedEvent&)>& visit);

// Appends points to one chunk; seq and time are kept as differences from the point before.
class ChunkPacker {
public:
    void Add(const RecordedPoint& point);
    const std::string& Packed() const { return m_packed; }
    std::size_t Count() const { return m_count; }
    const RecordedPoint& First() const { return m_first; }
    std::int64_t LastTimeMs() const { return m_lastTimeMs; }

private:
    std::string m_packed;
    std::size_t m_count = 0;
    RecordedPoint m_first;
    std::int64_t m_lastSeq = 0;
    std::int64_t m_lastTimeMs = 0;
};

bool UnpackChunk(std::string_view packed, const std::function<void(const RecordedPoint&)>& visit);

} // namespace pontivo
