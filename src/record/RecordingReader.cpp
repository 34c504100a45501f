#include "record/RecordingReader.h"

#include "record/RecordCodec.h"
#include "record/RecordingFile.h"
#include "record/RecordingSnapshot.h"

#include <sqlite3.h>

#include <algorithm>
#include <limits>
#include <unordered_set>

namespace pontivo {

struct RecordingReader::Found {
    std::int64_t seq = 0;
    std::int64_t timeMs = 0;
    WriteSource source = WriteSource::Http;
    std::string value;

    bool operator<(const Found& other) const { return std::pair(timeMs, seq) < std::pair(other.timeMs, other.seq); }
};

namespace {

enum class Go { On, Stop, Damaged };

// Steps the statement through its rows while the visit says so; false with the reason when it fails.
template<typename Visit>
bool EachRow(const SqliteConnection& db, SqliteStatement& statement, std::string& error, const Visit& visit)
{
    int step = SQLITE_ROW;
    Go go = Go::On;
    while (go == Go::On && (step = statement.Step()) == SQLITE_ROW)
        go = visit(statement);
    statement.Reset();
    if (go == Go::Damaged || (go == Go::On && step != SQLITE_DONE))
        error = "the recording cannot be read: " + (go == Go::Damaged ? std::string("the file is damaged") : RecordingFile::Failure(db));
    return go == Go::Stop || (go == Go::On && step == SQLITE_DONE);
}

Go Unpacked(bool ok)
{
    return ok ? Go::On : Go::Damaged;
}

// Keeps the newest `limit` of what was found, the oldest of them first: the bar the rest must reach.
template<typename Point>
void KeepNewest(std::vector<Point>& found, std::size_t limit)
{
    if (found.size() < limit)
        return;
    const auto cut = found.begin() + static_cast<std::ptrdiff_t>(found.size() - limit);
    std::nth_element(found.begin(), cut, found.end());
    found.erase(found.begin(), cut);
}

} // namespace

RecordingReader::RecordingReader(const std::string& path, std::string& error)
    : m_db(RecordingFile::Open(path, false, error))
{
    if (!m_db.Valid())
        return;
    // Newest first through the (name, last time) index, so a limit stops early.
    m_history = std::make_unique<SqliteStatement>(
        m_db, "SELECT last_time, points FROM chunks WHERE name_id = (SELECT id FROM names WHERE name = ?1) "
              "AND last_time >= ?2 AND first_time <= ?3 ORDER BY last_time DESC");
    m_batches = std::make_unique<SqliteStatement>(m_db, "SELECT id, events FROM batches ORDER BY id");
    m_names = std::make_unique<SqliteStatement>(
        m_db, "SELECT name FROM names WHERE EXISTS (SELECT 1 FROM chunks WHERE name_id = names.id) ORDER BY id");
    m_lastValues = std::make_unique<SqliteStatement>(
        m_db, "SELECT n.name, c.points FROM names n JOIN chunks c ON c.id = n.last_chunk "
              "WHERE n.present = 1 ORDER BY n.first_seq");
}

bool RecordingReader::History(const HistoryQuery& query, std::vector<HistoryPoint>& points, std::string& error) const
{
    points.clear();
    if (query.limit == 0)
        return true;
    const std::int64_t since = query.sinceMs.value_or(std::numeric_limits<std::int64_t>::min());
    const std::int64_t until = query.untilMs.value_or(std::numeric_limits<std::int64_t>::max());
    const RecordingSnapshot snapshot(m_db);
    std::vector<Found> found;
    if (!UnsortedHistory(query.name, since, until, found, error))
        return false;
    KeepNewest(found, query.limit);
    m_history->Bind(1, query.name).Bind(2, since).Bind(3, until);
    const bool read = EachRow(m_db, *m_history, error, [&](const SqliteStatement& chunk) {
        // Chunks come newest first: once one ends before the oldest point kept, the rest add nothing.
        if (found.size() == query.limit && chunk.Int(0) < found.front().timeMs)
            return Go::Stop;
        const bool unpacked = UnpackChunk(chunk.View(1), [&](const RecordedPoint& point) {
            if (point.timeMs >= since && point.timeMs <= until)
                found.push_back({point.seq, point.timeMs, point.source, std::string(point.value)});
        });
        KeepNewest(found, query.limit);
        return Unpacked(unpacked);
    });
    std::sort(found.begin(), found.end());
    points.reserve(found.size());
    for (Found& point : found)
        points.push_back({point.timeMs, std::move(point.value), point.source});
    return read;
}

bool RecordingReader::UnsortedHistory(std::string_view name, std::int64_t since, std::int64_t until, std::vector<Found>& found,
                                      std::string& error) const
{
    return EachRow(m_db, *m_batches, error, [&](const SqliteStatement& batch) {
        std::int64_t seq = RecordingFile::FirstSeq(batch.Int(0));
        return Unpacked(UnpackBatch(batch.View(1), [&](const LoggedEvent& event) {
            if (event.kind == RecordEvent::Kind::Set && event.name == name && event.timeMs >= since && event.timeMs <= until)
                found.push_back({seq, event.timeMs, event.source, std::string(event.value)});
            ++seq;
        }));
    });
}

bool RecordingReader::RecordedNames(std::vector<std::string>& names, std::string& error) const
{
    names.clear();
    const RecordingSnapshot snapshot(m_db);
    if (!EachRow(m_db, *m_names, error, [&](const SqliteStatement& row) { return names.push_back(row.Bytes(0)), Go::On; }))
        return false;
    // Then those only written since the last sort, in the order they came.
    std::unordered_set<std::string> listed(names.begin(), names.end());
    return EachRow(m_db, *m_batches, error, [&](const SqliteStatement& batch) {
        return Unpacked(UnpackBatch(batch.View(1), [&](const LoggedEvent& event) {
            if (event.kind == RecordEvent::Kind::Set && listed.emplace(event.name).second)
                names.emplace_back(event.name);
        }));
    });
}

bool RecordingReader::LastValues(const std::function<void(const Variable&)>& visit, std::string& error) const
{
    return EachRow(m_db, *m_lastValues, error, [&](const SqliteStatement& row) {
        RecordedPoint last;
        const bool unpacked = UnpackChunk(row.View(1), [&](const RecordedPoint& point) { last = point; });
        if (unpacked)
            visit(Variable{row.Bytes(0), std::string(last.value), last.timeMs, last.source});
        return Unpacked(unpacked);
    });
}

} // namespace pontivo
