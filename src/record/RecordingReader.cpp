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
    // Newest first through the (name, time) index, so that the limit stops it early.
    m_history = std::make_unique<SqliteStatement>(
        m_db, "SELECT time_ms, value, source FROM changes WHERE name_id = (SELECT id FROM names WHERE name = ?1) "
              "AND time_ms BETWEEN ?2 AND ?3 AND value IS NOT NULL ORDER BY time_ms DESC, id DESC LIMIT ?4");
    m_names = std::make_unique<SqliteStatement>(
        m_db, "SELECT name FROM names WHERE EXISTS "
              "(SELECT 1 FROM changes WHERE name_id = names.id AND value IS NOT NULL) ORDER BY id");
    m_lastValues = std::make_unique<SqliteStatement>(
        m_db, "SELECT n.name, c.value, c.time_ms, c.source FROM names n JOIN changes c ON c.id = n.last_id "
              "WHERE n.present = 1 ORDER BY n.first_id");
    if (m_history->Valid() && m_names->Valid() && m_lastValues->Valid())
        return;
    error = path + " cannot be read: " + m_db.Error();
    // Finalized before the connection closes.
    m_history.reset();
    m_names.reset();
    m_lastValues.reset();
    m_db = {};
}

bool RecordingReader::History(const HistoryQuery& query, std::vector<HistoryPoint>& points, std::string& error) const
{
    points.clear();
    const auto limit = static_cast<std::int64_t>(std::min<std::size_t>(query.limit, std::numeric_limits<std::int64_t>::max()));
    m_history->Bind(1, query.name)
        .Bind(2, query.sinceMs.value_or(std::numeric_limits<std::int64_t>::min()))
        .Bind(3, query.untilMs.value_or(std::numeric_limits<std::int64_t>::max()))
        .Bind(4, limit);
    const bool read = EachRow(m_db, *m_history, error, [&](const SqliteStatement& row) {
        points.push_back({ClampedTimeMs(row.Int(0)), row.Bytes(1), Source(row.Int(2))});
    });
    std::reverse(points.begin(), points.end());
    return read;
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
