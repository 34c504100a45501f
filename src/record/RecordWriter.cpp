#include "record/RecordWriter.h"

#include "record/RecordingFile.h"

#include <sqlite3.h>

#include <algorithm>
#include <string>
#include <utility>

namespace pontivo {

RecordWriter::RecordWriter(SqliteConnection db, std::int64_t keepMs, std::uint64_t maxBytes)
    : m_db(std::move(db))
    , m_keepMs(keepMs)
    , m_maxBytes(maxBytes)
    , m_beginWrite(m_db, "BEGIN IMMEDIATE")
    , m_begin(m_db, "BEGIN")
    , m_commit(m_db, "COMMIT")
    , m_addChange(m_db, "INSERT INTO changes(time_ms, name_id, value, source) VALUES(?1, ?2, ?3, ?4)")
    , m_findName(m_db, "SELECT id, present, first_id, last_id FROM names WHERE name = ?1")
    , m_addName(m_db, "INSERT INTO names(name) VALUES(?1)")
    , m_nameRow(m_db, "UPDATE names SET present = ?2, first_id = ?3, last_id = ?4 WHERE id = ?1")
    , m_removedAll(m_db, "UPDATE names SET present = 0 WHERE present = 1")
    , m_link(m_db, "INSERT INTO links(time_ms, state) VALUES(?1, ?2)")
    , m_oldest(m_db, "SELECT id, time_ms FROM changes WHERE id > ?1 ORDER BY id LIMIT ?2")
    // The rows pruning never takes: each present name's last value, which a restore needs.
    , m_prune(m_db, "DELETE FROM changes WHERE id > ?1 AND id <= ?2 AND "
                    "id NOT IN (SELECT last_id FROM names WHERE present = 1 AND last_id IS NOT NULL)")
    , m_pruneLinks(m_db, "DELETE FROM links WHERE id IN (SELECT id FROM links WHERE time_ms < ?1 ORDER BY id LIMIT ?2)")
    , m_pruneNames(m_db, "DELETE FROM names WHERE present = 0 AND NOT EXISTS "
                         "(SELECT 1 FROM changes WHERE name_id = names.id)")
{
}

bool RecordWriter::Prepared() const
{
    const SqliteStatement* const statements[] = {&m_beginWrite, &m_begin, &m_commit, &m_addChange, &m_findName,
                                                 &m_addName, &m_nameRow, &m_removedAll, &m_link, &m_oldest,
                                                 &m_prune, &m_pruneLinks, &m_pruneNames};
    return std::all_of(std::begin(statements), std::end(statements), [](const SqliteStatement* s) { return s->Valid(); });
}

bool RecordWriter::Write(const std::vector<RecordEvent>& events)
{
    if (!m_beginWrite.Run())
        return Finish(false);
    bool ok = true;
    for (auto event = events.begin(); ok && event != events.end(); ++event)
        ok = Apply(*event);
    ok = ok && WriteNames();
    m_touched.clear();
    return Finish(ok);
}

RecordWriter::NameRow* RecordWriter::Row(std::string_view name)
{
    if (const auto found = m_touched.find(name); found != m_touched.end())
        return &found->second;
    NameRow read;
    const int step = m_findName.Bind(1, name).Step();
    if (step == SQLITE_ROW)
        read = {m_findName.Int(0), m_findName.Int(1) != 0, m_findName.Int(2), m_findName.Int(3)};
    m_findName.Reset();
    if (step == SQLITE_DONE && m_addName.Bind(1, name).Run())
        read.id = sqlite3_last_insert_rowid(m_db.Get());
    else if (step != SQLITE_ROW)
        return nullptr;
    return &m_touched.emplace(std::string(name), read).first->second;
}

bool RecordWriter::Apply(const RecordEvent& event)
{
    if (event.kind == RecordEvent::Kind::Link)
        return m_link.Bind(1, event.timeMs).Bind(2, event.name).Run();
    if (event.kind == RecordEvent::Kind::Reset) {
        // Names met later in this transaction read as removed: the update below reached their rows.
        for (auto& [name, row] : m_touched)
            row.present = false;
        return m_removedAll.Run() && AddChange(event, nullptr);
    }
    NameRow* const row = Row(event.name);
    if (!row || !AddChange(event, row))
        return false;
    if (event.kind == RecordEvent::Kind::Unset) {
        row->present = false;
        return true;
    }
    const std::int64_t id = sqlite3_last_insert_rowid(m_db.Get());
    // Written again after its removal, a name is restored in its new place.
    if (!row->present)
        row->firstId = id;
    row->present = true;
    row->lastId = id;
    return true;
}

bool RecordWriter::AddChange(const RecordEvent& event, const NameRow* row)
{
    // Parameters left unbound are NULL: the name of a reset, the value of a removal.
    m_addChange.Bind(1, event.timeMs).Bind(4, std::int64_t{static_cast<std::uint8_t>(event.source)});
    if (row)
        m_addChange.Bind(2, row->id);
    if (event.kind == RecordEvent::Kind::Set)
        m_addChange.Bind(3, event.value);
    return m_addChange.Run();
}

bool RecordWriter::WriteNames()
{
    bool ok = true;
    for (auto row = m_touched.begin(); ok && row != m_touched.end(); ++row) {
        const NameRow& name = row->second;
        ok = m_nameRow.Bind(1, name.id).Bind(2, std::int64_t{name.present}).Bind(3, name.firstId).Bind(4, name.lastId).Run();
    }
    return ok;
}

bool RecordWriter::Finish(bool ok)
{
    if (ok && m_commit.Run())
        return true;
    // The reason first: the rollback would replace it.
    m_failure = RecordingFile::Failure(m_db);
    m_db.Exec("ROLLBACK");
    return false;
}

bool RecordWriter::Prune(std::int64_t nowMs, bool& more)
{
    const bool overSize = UsedBytes() > m_maxBytes;
    const std::int64_t cutoff = nowMs - m_keepMs;
    // The oldest rows first, up to the first one young enough (any while over the size).
    std::int64_t upTo = m_prunedUpTo;
    std::int64_t upToTime = cutoff;
    int looked = 0;
    m_oldest.Bind(1, m_prunedUpTo).Bind(2, std::int64_t{kPruneStepRows});
    for (; m_oldest.Step() == SQLITE_ROW && (overSize || m_oldest.Int(1) < cutoff); ++looked) {
        upTo = m_oldest.Int(0);
        upToTime = std::max(upToTime, m_oldest.Int(1));
    }
    m_oldest.Reset();
    if (!m_begin.Run())
        return Finish(false);
    const bool ok = (looked == 0 || (m_prune.Bind(1, m_prunedUpTo).Bind(2, upTo).Run() && m_pruneNames.Run())) &&
                    m_pruneLinks.Bind(1, upToTime).Bind(2, std::int64_t{kPruneStepRows}).Run();
    more = looked == kPruneStepRows;
    m_prunedUpTo = more ? upTo : 0;
    // The pages pruning frees are what the next writes take, and moving pages to give them back costs
    // writes: only those past kKeptFreePages go back to the file system, a bounded number at a time.
    const long long surplus = m_db.Integer("PRAGMA freelist_count") - kKeptFreePages;
    const std::string vacuum = "PRAGMA incremental_vacuum(" + std::to_string(std::min(surplus, 4000LL)) + ")";
    return Finish(ok && (surplus <= 0 || m_db.Exec(vacuum.c_str())));
}

bool RecordWriter::GiveBackFreePages()
{
    return m_begin.Run() ? Finish(m_db.Exec("PRAGMA incremental_vacuum")) : Finish(false);
}

std::uint64_t RecordWriter::UsedBytes() const
{
    const long long pages = m_db.Integer("PRAGMA page_count") - m_db.Integer("PRAGMA freelist_count");
    return static_cast<std::uint64_t>(std::max(0LL, pages)) * static_cast<std::uint64_t>(m_db.Integer("PRAGMA page_size"));
}

} // namespace pontivo
