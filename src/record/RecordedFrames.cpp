#include "record/RecordedFrames.h"

#include "record/RecordCodec.h"
#include "record/RecordingFile.h"
#include "store/WriteSource.h"

#include <sqlite3.h>

#include <algorithm>

namespace pontivo {
namespace {

std::string FrameText(std::string_view name, std::string_view value)
{
    std::string frame;
    frame.reserve(name.size() + value.size() + 3);
    return frame.append(1, '{').append(name).append(1, '=').append(value).append(1, '}');
}

} // namespace

RecordedFrames::RecordedFrames(const std::string& path, std::int64_t fromMs, std::string& error)
    : m_db(RecordingFile::Open(path, false, error))
    , m_fromMs(fromMs)
{
    if (!m_db.Valid())
        return;
    // Chunks were added in the order of their first writes, so their ids give that order.
    m_chunks = std::make_unique<SqliteStatement>(
        m_db, "SELECT c.first_seq, n.name, c.points FROM chunks c JOIN names n ON n.id = c.name_id "
              "WHERE c.last_time >= ?1 ORDER BY c.id");
    m_batches = std::make_unique<SqliteStatement>(m_db, "SELECT id, events FROM batches ORDER BY id");
    Rewind();
}

RecordedFrames::~RecordedFrames()
{
    m_chunks.reset();
    m_batches.reset();
    if (m_inSnapshot)
        m_db.Exec("COMMIT");
}

void RecordedFrames::Rewind()
{
    m_chunks->Reset();
    m_batches->Reset();
    // One read transaction from the first chunk to the last batch, so that a sort meanwhile is not seen.
    if (m_inSnapshot)
        m_db.Exec("COMMIT");
    m_inSnapshot = m_db.Exec("BEGIN");
    m_chunks->Bind(1, m_fromMs);
    m_chunkReady = false;
    m_chunksDone = false;
    m_open.clear();
    m_unsorted.clear();
}

bool RecordedFrames::Step(SqliteStatement& statement, std::string& error)
{
    const int step = statement.Step();
    if (step != SQLITE_ROW && step != SQLITE_DONE)
        error = "the recording cannot be read: " + RecordingFile::Failure(m_db);
    return step == SQLITE_ROW;
}

bool RecordedFrames::Next(std::int64_t& timeMs, std::string& frame, std::string& error)
{
    const auto later = [](const Pending& a, const Pending& b) { return a.back().seq > b.back().seq; };
    // Every chunk that starts before the earliest frame at hand may hold an earlier one.
    while (!m_chunksDone && error.empty()) {
        if (!m_chunkReady) {
            m_chunkReady = Step(*m_chunks, error);
            m_chunksDone = !m_chunkReady;
            if (m_chunksDone)
                break;
        }
        if (!m_open.empty() && m_chunks->Int(0) > m_open.front().back().seq)
            break;
        if (!TakeChunk(error))
            return false;
        if (!m_open.empty() && m_open.back().empty())
            m_open.pop_back();
        else if (!m_open.empty())
            std::push_heap(m_open.begin(), m_open.end(), later);
    }
    if (!error.empty())
        return false;
    if (!m_open.empty()) {
        std::pop_heap(m_open.begin(), m_open.end(), later);
        Pending& chunk = m_open.back();
        timeMs = chunk.back().timeMs;
        frame = std::move(chunk.back().text);
        chunk.pop_back();
        if (chunk.empty())
            m_open.pop_back();
        else
            std::push_heap(m_open.begin(), m_open.end(), later);
        return true;
    }
    // Then what was written since the last sort: newer than every chunk.
    while (m_unsorted.empty() && error.empty() && Step(*m_batches, error))
        if (!TakeBatch(error))
            return false;
    if (m_unsorted.empty())
        return false;
    timeMs = m_unsorted.front().timeMs;
    frame = std::move(m_unsorted.front().text);
    m_unsorted.pop_front();
    return true;
}

bool RecordedFrames::TakeChunk(std::string& error)
{
    m_chunkReady = false;
    const std::string_view name = m_chunks->View(1);
    Pending frames;
    const bool unpacked = UnpackChunk(m_chunks->View(2), [&](const RecordedPoint& point) {
        if (point.source == WriteSource::Board && point.timeMs >= m_fromMs)
            frames.push_back({point.seq, point.timeMs, FrameText(name, point.value)});
    });
    if (!unpacked) {
        error = "the recording cannot be read: the file is damaged";
        return false;
    }
    std::reverse(frames.begin(), frames.end());
    m_open.push_back(std::move(frames));
    return true;
}

bool RecordedFrames::TakeBatch(std::string& error)
{
    const bool unpacked = UnpackBatch(m_batches->View(1), [&](const LoggedEvent& event) {
        if (event.kind == RecordEvent::Kind::Set && event.source == WriteSource::Board && event.timeMs >= m_fromMs)
            m_unsorted.push_back({0, event.timeMs, FrameText(event.name, event.value)});
    });
    if (!unpacked)
        error = "the recording cannot be read: the file is damaged";
    return unpacked;
}

} // namespace pontivo
