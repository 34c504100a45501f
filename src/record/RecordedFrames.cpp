#include "record/RecordedFrames.h"

#include "record/RecordingFile.h"
#include "store/HistorySource.h"

#include <sqlite3.h>

namespace pontivo {
namespace {

// Appended, not added up with operator+, which GCC 12 warns about wrongly.
std::string FrameText(std::string_view name, std::string_view value)
{
    std::string frame;
    frame.reserve(name.size() + value.size() + 3);
    return frame.append(1, '{').append(name).append(1, '=').append(value).append(1, '}');
}

} // namespace

RecordedFrames::RecordedFrames(const std::string& path, std::int64_t fromMs, std::string& error)
    : m_db(RecordingFile::OpenReader(path, error))
    , m_fromMs(fromMs)
{
    if (!m_db.Valid())
        return;
    m_page = std::make_unique<SqliteStatement>(
        m_db, "SELECT c.id, c.time_ms, n.name, c.value FROM changes c JOIN names n ON n.id = c.name_id "
              "WHERE c.id > ?1 AND c.source = 0 AND c.value IS NOT NULL AND c.time_ms >= ?2 ORDER BY c.id LIMIT ?3");
    if (!m_page->Valid()) {
        error = path + " cannot be read: " + m_db.Error();
        m_page.reset();
    }
}

void RecordedFrames::Rewind()
{
    m_afterId = 0;
    m_frames.clear();
}

bool RecordedFrames::Next(std::int64_t& timeMs, std::string& frame, std::string& error)
{
    if (m_frames.empty()) {
        m_page->Bind(1, m_afterId).Bind(2, m_fromMs).Bind(3, std::int64_t{kPageFrames});
        int step = SQLITE_ROW;
        while ((step = m_page->Step()) == SQLITE_ROW) {
            m_afterId = m_page->Int(0);
            m_frames.push_back({ClampedTimeMs(m_page->Int(1)), FrameText(m_page->View(2), m_page->View(3))});
        }
        m_page->Reset();
        if (step != SQLITE_DONE) {
            error = "the recording cannot be read: " + RecordingFile::Failure(m_db);
            return false;
        }
    }
    if (m_frames.empty())
        return false;
    timeMs = m_frames.front().timeMs;
    frame = std::move(m_frames.front().text);
    m_frames.pop_front();
    return true;
}

} // namespace pontivo
