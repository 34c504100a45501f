#pragma once

#include "SqliteConnection.h"
#include "SqliteStatement.h"

#include <cstdint>
#include <memory>
#include <string>

namespace pontivo {

// The board's own writes in a recording, in the order they were recorded, as the frames it sent.
class RecordedFrames {
public:
    // Invalid (and `error` set) when the file is no readable recording.
    RecordedFrames(const std::string& path, std::int64_t fromMs, std::string& error);
    bool Valid() const { return m_statement != nullptr; }

    // The next write at or after fromMs: its time and "{name=value}". False at the end, and with
    // `error` set when the file cannot be read further.
    bool Next(std::int64_t& timeMs, std::string& frame, std::string& error);
    // From the first write again.
    void Rewind();

private:
    SqliteConnection m_db; // first: the statement is finalized before it closes
    std::unique_ptr<SqliteStatement> m_statement;
    std::int64_t m_fromMs;
};

} // namespace pontivo
