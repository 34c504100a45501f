#pragma once

#include "record/SqliteConnection.h"
#include "record/SqliteStatement.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

namespace pontivo {

// The board's own writes in a recording, in the order they were recorded, as the frames it sent. Read a
// page at a time, each in a read of its own, so that a writer beside it can still fold its log into the file.
class RecordedFrames {
public:
    static constexpr int kPageFrames = 1000;

    // Invalid (and `error` set) when the file is no readable recording.
    RecordedFrames(const std::string& path, std::int64_t fromMs, std::string& error);
    bool Valid() const { return m_page != nullptr; }

    // The next write at or after fromMs: its time and "{name=value}". False at the end, and with
    // `error` set when the file cannot be read further.
    bool Next(std::int64_t& timeMs, std::string& frame, std::string& error);
    // From the first write again.
    void Rewind();

private:
    struct Frame {
        std::int64_t timeMs = 0;
        std::string text;
    };

    SqliteConnection m_db; // first: the statement is finalized before it closes
    std::unique_ptr<SqliteStatement> m_page;
    std::int64_t m_fromMs;
    std::int64_t m_afterId = 0; // the last row read
    std::deque<Frame> m_frames;
};

} // namespace pontivo
