#include "record/RecordingReader.h"

#include "record/RecordingFile.h"

#include <sqlite3.h>

#include <algorithm>
#include <limits>

namespace pontivo {
namespace {

// Steps the statement through its rows; false with the reason when it fails.
template<typename Visit>
bool EachRow(const SqliteConnection& db, SqliteStatement& statement, std::string& error, const Visit& visit)
{
    int step = SQLITE_ROW;
    while ((step = statement.Step()) == SQLITE_ROW)
        visit(statement);
    statement.Reset();
    if (step != SQLITE_DONE)
        error = "the recording cannot be read: " + RecordingFile::Failure(db);
    return step == SQLITE_DONE;
}

WriteSource Source(std::int64_t number)
{
    return static_cast<WriteSource>(std::clamp<std::int64_t>(number, 0, static_cast<std::int64_t>(WriteSource::Restore)));
}

} // namespace

RecordingReader::RecordingReader(const std::string& path, std::string& error)
    : m_db(RecordingFile::OpenReader(path, error))
{
    if (!m_db.Valid())
        return;
    // The oldest of the newest `limit` points: newest first through the (name, time) index, skipping the rest.
    m_first = std::make_unique<SqliteStatement>(
        m_db, "SELECT time_ms, id FROM changes WHERE name_id = (SELECT id FROM names WHERE name = ?1) "
              "AND time_ms BETWEEN ?2 AND ?3 AND value IS NOT NULL ORDER BY time_ms DESC, id DESC LIMIT 1 OFFSET ?4");
    // Then onwards from it, a page at a time, through the same index.
    m_history = std::make_unique<SqliteStatement>(
        m_db, "SELECT time_ms, value, source, id FROM changes WHERE name_id = (SELECT id FROM names WHERE name = ?1) "
              "AND (time_ms, id) > (?2, ?3) AND time_ms <= ?4 AND value IS NOT NULL ORDER BY time_ms, id LIMIT ?5");
    m_names = std::make_unique<SqliteStatement>(
        m_db, "SELECT name FROM names WHERE EXISTS "
              "(SELECT 1 FROM changes WHERE name_id = names.id AND value IS NOT NULL) ORDER BY id");
    m_lastValues = std::make_unique<SqliteStatement>(
        m_db, "SELECT n.name, c.value, c.time_ms, c.source FROM names n JOIN changes c ON c.id = n.last_id "
              "WHERE n.present = 1 ORDER BY n.first_id");
    if (m_first->Valid() && m_history->Valid() && m_names->Valid() && m_lastValues->Valid())
        return;
    error = path + " cannot be read: " + m_db.Error();
    // Finalized before the connection closes.
    m_first.reset();
    m_history.reset();
    m_names.reset();
    m_lastValues.reset();
    m_db = {};
}

bool RecordingReader::Begin(const HistoryQuery& query, HistoryCursor& cursor, std::string& error) const
{
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    const std::int64_t since = query.sinceMs.value_or(std::numeric_limits<std::int64_t>::min());
    cursor = {since, std::numeric_limits<std::int64_t>::min(), query.limit};
    if (query.limit == 0)
        return true;
    m_first->Bind(1, query.name).Bind(2, since).Bind(3, query.untilMs.value_or(kMax))
        .Bind(4, static_cast<std::int64_t>(std::min<std::size_t>(query.limit - 1, kMax)));
    // Found: more points than the limit, so the reading starts at this one (row ids count from 1).
    return EachRow(m_db, *m_first, error, [&](const SqliteStatement& row) { cursor.timeMs = row.Int(0), cursor.row = row.Int(1) - 1; });
}

bool RecordingReader::Next(const HistoryQuery& query, HistoryCursor& cursor, std::size_t count, std::vector<HistoryPoint>& points,
                           std::string& error) const
{
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    const std::size_t taken = std::min(count, cursor.left);
    if (taken == 0)
        return true;
    m_history->Bind(1, query.name).Bind(2, cursor.timeMs).Bind(3, cursor.row).Bind(4, query.untilMs.value_or(kMax))
        .Bind(5, static_cast<std::int64_t>(std::min<std::size_t>(taken, kMax)));
    std::size_t read = 0;
    const bool ok = EachRow(m_db, *m_history, error, [&](const SqliteStatement& row) {
        points.push_back({ClampedTimeMs(row.Int(0)), row.Bytes(1), Source(row.Int(2))});
        cursor.timeMs = row.Int(0);
        cursor.row = row.Int(3);
        ++read;
    });
    // Fewer than asked: the points have run out.
    cursor.left = read < taken ? 0 : cursor.left - read;
    return ok;
}

bool RecordingReader::RecordedNames(std::vector<std::string>& names, std::string& error) const
{
    names.clear();
    return EachRow(m_db, *m_names, error, [&](const SqliteStatement& row) { names.push_back(row.Bytes(0)); });
}

bool RecordingReader::LastValues(const std::function<void(const Variable&)>& visit, std::string& error) const
{
    return EachRow(m_db, *m_lastValues, error, [&](const SqliteStatement& row) {
        visit(Variable{row.Bytes(0), row.Bytes(1), ClampedTimeMs(row.Int(2)), Source(row.Int(3))});
    });
}

} // namespace pontivo
