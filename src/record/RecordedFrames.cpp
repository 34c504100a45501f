#include "RecordedFrames.h"

#include "RecordingFile.h"
#include "WriteSource.h"

#include <sqlite3.h>

namespace pontivo {

RecordedFrames::RecordedFrames(const std::string& path, std::int64_t fromMs, std::string& error)
    : m_db(RecordingFile::Open(path, false, error))
    , m_fromMs(fromMs)
{
    if (!m_db.Valid())
        return;
    m_statement = std::make_unique<SqliteStatement>(
        m_db, "SELECT w.time, n.name, w.value FROM writes w JOIN names n ON n.id = w.name_id "
              "WHERE w.source = " + std::to_string(static_cast<int>(WriteSource::Board)) +
              " AND w.value IS NOT NULL AND w.time >= ?1 ORDER BY w.id");
    Rewind();
}

bool RecordedFrames::Next(std::int64_t& timeMs, std::string& frame, std::string& error)
{
    const int step = m_statement->Step();
    if (step != SQLITE_ROW) {
        if (step != SQLITE_DONE)
            error = "the recording cannot be read: " + RecordingFile::Failure(m_db);
        return false;
    }
    timeMs = m_statement->Int(0);
    frame = '{' + m_statement->Bytes(1) + '=' + m_statement->Bytes(2) + '}';
    return true;
}

void RecordedFrames::Rewind()
{
    m_statement->Reset();
    m_statement->Bind(1, m_fromMs);
}

} // namespace pontivo
