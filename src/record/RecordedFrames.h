#pragma once

#include "record/SqliteConnection.h"
#include "record/SqliteStatement.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pontivo {

// The board's own writes in a recording, in the order they were recorded, as the frames it sent.
class RecordedFrames {
public:
    // Invalid (and `error` set) when the file is no readable recording.
    RecordedFrames(const std::string& path, std::int64_t fromMs, std::string& error);
    ~RecordedFrames();
    RecordedFrames(const RecordedFrames&) = delete;
    RecordedFrames& operator=(const RecordedFrames&) = delete;
    bool Valid() const { return m_chunks != nullptr; }

    // The next write at or after fromMs: its time and "{name=value}". False at the end, and with
    // `error` set when the file cannot be read further.
    bool Next(std::int64_t& timeMs, std::string& frame, std::string& error);
    // From the first write again.
    void Rewind();

private:
    struct Frame {
        std::int64_t seq = 0;
        std::int64_t timeMs = 0;
        std::string text;
    };
    // One chunk's frames not yet taken, oldest last.
    using Pending = std::vector<Frame>;

    bool TakeChunk(std::string& error);
    bool TakeBatch(std::string& error);
    bool Step(SqliteStatement& statement, std::string& error);

    SqliteConnection m_db; // first: the statements are finalized before it closes
    std::unique_ptr<SqliteStatement> m_chunks;
    std::unique_ptr<SqliteStatement> m_batches;
    std::int64_t m_fromMs;
    bool m_inSnapshot = false;
    bool m_chunkReady = false; // m_chunks is on a row not yet taken
    bool m_chunksDone = false;
    std::vector<Pending> m_open; // a heap: the chunk with the earliest next frame first
    std::deque<Frame> m_unsorted;
};

} // namespace pontivo
