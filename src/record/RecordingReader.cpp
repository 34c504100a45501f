#include "RecordingReader.h"

#include "RecordingFile.h"

#include <sqlite3.h>

#include <algorithm>
#include <limits>

namespace pontivo {
namespace {

WriteSource SourceOf(const SqliteStatement& row, int column)
{
    const std::int64_t number = row.Int(column);
    return number >= 0 && number <= static_cast<std::int64_t>(WriteSource::Restore) ? static_cast<WriteSource>(number)
                                                                                      : WriteSource::Http;
}

// Steps the statement through its rows; false with the reason when it fails.
template<typename Visit>
bool EachRow(const SqliteConnection& db, SqliteStatement& statement, std::string& error, const Visit& visit)
{
    int step = SQLITE_ROW;
    while ((step = statement.Step()) == SQLITE_ROW)
        visit(statement);
    if (step != SQLITE_DONE)
        error = "the recording cannot be read: " + RecordingFile::Failure(db);
    statement.Reset();
    return step == SQLITE_DONE;
}

} // namespace

RecordingReader::RecordingReader(const std::string& path, std::string& error)
    : m_db(RecordingFile::Open(path, false, error))
{
    if (!m_db.Valid())
        return;
    // Newest first through the (name, time) index, so a limit takes the latest points.
    m_history = std::make_unique<SqliteStatement>(
        m_db, "SELECT time, value, source FROM writes WHERE name_id = (SELECT id FROM names WHERE name = ?1) "
              "AND time BETWEEN ?2 AND ?3 AND value IS NOT NULL ORDER BY time DESC, id DESC LIMIT ?4");
    m_names = std::make_unique<SqliteStatement>(
        m_db, "SELECT name FROM names WHERE EXISTS "
              "(SELECT 1 FROM writes WHERE name_id = names.id AND value IS NOT NULL) ORDER BY id");
    m_lastValues = std::make_unique<SqliteStatement>(
        m_db, "SELECT n.name, w.value, w.time, w.source FROM names n JOIN writes w ON w.id = n.last_write "
              "WHERE n.present = 1 AND w.value IS NOT NULL ORDER BY n.first_write");
}

bool RecordingReader::History(const HistoryQuery& query, std::vector<HistoryPoint>& points, std::string& error) const
{
    points.clear();
    constexpr std::int64_t kMaxLimit = std::numeric_limits<std::int64_t>::max();
    m_history->Bind(1, query.name)
        .Bind(2, query.sinceMs.value_or(std::numeric_limits<std::int64_t>::min()))
        .Bind(3, query.untilMs.value_or(kMaxLimit))
        .Bind(4, static_cast<std::int64_t>(std::min<std::size_t>(query.limit, kMaxLimit)));
    const bool read = EachRow(m_db, *m_history, error, [&](const SqliteStatement& row) {
        points.push_back({row.Int(0), row.Bytes(1), SourceOf(row, 2)});
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
        visit(Variable{row.Bytes(0), row.Bytes(1), row.Int(2), SourceOf(row, 3)});
    });
}

} // namespace pontivo
