#include "RecordWriter.h"

#include "RecordingFile.h"

#include <sqlite3.h>

#include <algorithm>
#include <string>
#include <utility>

namespace pontivo {
namespace {

// The rows pruning never takes: each present name's last value, which a restore needs.
std::string Unprotected(const char* before, const char* after = "")
{
    return std::string(before) + " id NOT IN (SELECT last_write FROM names WHERE present = 1 AND last_write IS NOT NULL)" +
           after;
}

} // namespace

RecordWriter::RecordWriter(SqliteConnection db, std::int64_t keepMs, std::uint64_t maxBytes)
    : m_db(std::move(db))
    , m_keepMs(keepMs)
    , m_maxBytes(maxBytes)
    , m_name(m_db, "INSERT INTO names(name) VALUES(?1) ON CONFLICT(name) DO UPDATE SET present = present RETURNING id")
    , m_write(m_db, "INSERT INTO writes(name_id, time, value, source) VALUES(?1, ?2, ?3, ?4)")
    , m_written(m_db, "UPDATE names SET first_write = iif(present, first_write, ?2), last_write = ?2, present = 1 "
                      "WHERE id = ?1")
    , m_unset(m_db, "UPDATE names SET present = 0 WHERE name = ?1 AND present = 1 RETURNING id")
    , m_removeAll(m_db, "INSERT INTO writes(name_id, time) SELECT id, ?1 FROM names WHERE present = 1")
    , m_removedAll(m_db, "UPDATE names SET present = 0 WHERE present = 1")
    , m_link(m_db, "INSERT INTO links(time, state) VALUES(?1, ?2)")
    , m_oldest(m_db, Unprotected("SELECT id, time FROM writes WHERE", " ORDER BY id LIMIT ?1"))
    , m_prune(m_db, Unprotected("DELETE FROM writes WHERE id <= ?1 AND"))
    , m_pruneLinks(m_db, "DELETE FROM links WHERE id IN (SELECT id FROM links WHERE time < ?1 ORDER BY id LIMIT ?2)")
    , m_pruneNames(m_db, "DELETE FROM names WHERE present = 0 AND NOT EXISTS "
                         "(SELECT 1 FROM writes WHERE name_id = names.id)")
{
}

bool RecordWriter::Write(const std::vector<RecordEvent>& batch)
{
    if (!m_db.Exec("BEGIN"))
        return false;
    bool ok = true;
    for (auto event = batch.begin(); ok && event != batch.end(); ++event)
        ok = Apply(*event);
    return Finish(ok);
}

bool RecordWriter::Finish(bool ok)
{
    if (ok && m_db.Exec("COMMIT"))
        return true;
    // The reason first: the rollback would replace it.
    m_failure = RecordingFile::Failure(m_db);
    m_db.Exec("ROLLBACK");
    return false;
}

bool RecordWriter::Apply(const RecordEvent& event)
{
    switch (event.kind) {
    case RecordEvent::Kind::Set:
        return Set(event);
    case RecordEvent::Kind::Unset:
        return Unset(event);
    case RecordEvent::Kind::Reset:
        return Reset(event);
    case RecordEvent::Kind::Link:
        return m_link.Bind(1, event.timeMs).Bind(2, event.name).Run();
    }
    return false;
}

bool RecordWriter::Set(const RecordEvent& event)
{
    if (m_name.Bind(1, event.name).Step() != SQLITE_ROW) {
        m_name.Reset();
        return false;
    }
    const std::int64_t nameId = m_name.Int(0);
    m_name.Reset();
    if (!m_write.Bind(1, nameId).Bind(2, event.timeMs).Bind(3, event.value).Bind(4, static_cast<std::int64_t>(event.source)).Run())
        return false;
    return m_written.Bind(1, nameId).Bind(2, static_cast<std::int64_t>(sqlite3_last_insert_rowid(m_db.Get()))).Run();
}

bool RecordWriter::Unset(const RecordEvent& event)
{
    const int step = m_unset.Bind(1, event.name).Step();
    const std::int64_t nameId = step == SQLITE_ROW ? m_unset.Int(0) : 0;
    m_unset.Reset();
    if (step != SQLITE_ROW)
        return step == SQLITE_DONE; // never recorded, or dropped on a full queue: nothing to remove
    return m_write.Bind(1, nameId).Bind(2, event.timeMs).BindNull(3).BindNull(4).Run();
}

bool RecordWriter::Reset(const RecordEvent& event)
{
    return m_removeAll.Bind(1, event.timeMs).Run() && m_removedAll.Run();
}

bool RecordWriter::Prune(std::int64_t nowMs, bool& more)
{
    const bool overSize = UsedBytes() > m_maxBytes;
    const std::int64_t cutoff = nowMs - m_keepMs;
    // The oldest rows first, up to the first one young enough (any while over the size).
    std::int64_t upTo = 0;
    std::int64_t upToTime = cutoff;
    int looked = 0;
    m_oldest.Bind(1, std::int64_t{kPruneStepRows});
    for (; m_oldest.Step() == SQLITE_ROW && (overSize || m_oldest.Int(1) < cutoff); ++looked) {
        upTo = m_oldest.Int(0);
        upToTime = std::max(upToTime, m_oldest.Int(1));
    }
    m_oldest.Reset();
    more = looked == kPruneStepRows;
    if (!m_db.Exec("BEGIN"))
        return false;
    const bool ok = m_prune.Bind(1, upTo).Run() &&
                    m_pruneLinks.Bind(1, upToTime).Bind(2, std::int64_t{kPruneStepRows}).Run() &&
                    (looked == 0 || m_pruneNames.Run());
    // Hand the freed pages back to the file system a bounded number at a time.
    return Finish(ok && m_db.Exec("PRAGMA incremental_vacuum(4000)"));
}

std::uint64_t RecordWriter::UsedBytes() const
{
    const long long pages = m_db.Integer("PRAGMA page_count") - m_db.Integer("PRAGMA freelist_count");
    return static_cast<std::uint64_t>(std::max(0LL, pages)) * static_cast<std::uint64_t>(m_db.Integer("PRAGMA page_size"));
}

std::string RecordWriter::Failure() const
{
    return m_failure;
}

} // namespace pontivo
