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
    , m_findName(m_db, "SELECT id, present, first_write, last_write FROM names WHERE name = ?1")
    , m_addName(m_db, "INSERT INTO names(name) VALUES(?1)")
    , m_write(m_db, "INSERT INTO writes(name_id, time, value, source) VALUES(?1, ?2, ?3, ?4)")
    , m_nameRow(m_db, "UPDATE names SET present = ?2, first_write = ?3, last_write = ?4 WHERE id = ?1")
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
    // The write lock first, so that no other writer can commit between the check and the batch.
    if (!m_db.Exec("BEGIN IMMEDIATE"))
        return false;
    const long long version = m_db.Integer("PRAGMA data_version");
    if (version != m_dataVersion || m_names.size() > kCachedNames)
        ForgetNames();
    m_dataVersion = version;
    bool ok = true;
    for (auto event = batch.begin(); ok && event != batch.end(); ++event)
        ok = Apply(*event);
    return Finish(ok && WriteChangedNames());
}

bool RecordWriter::Finish(bool ok)
{
    if (ok && m_db.Exec("COMMIT"))
        return true;
    // The reason first: the rollback would replace it.
    m_failure = RecordingFile::Failure(m_db);
    m_db.Exec("ROLLBACK");
    ForgetNames();
    return false;
}

void RecordWriter::ForgetNames()
{
    m_names.clear();
    m_changed.clear();
}

bool RecordWriter::Row(const std::string& name, bool add, NameRow*& row)
{
    row = nullptr;
    if (const auto found = m_names.find(name); found != m_names.end()) {
        row = &found->second;
        return true;
    }
    NameRow read;
    const int step = m_findName.Bind(1, name).Step();
    if (step == SQLITE_ROW)
        read = {m_findName.Int(0), m_findName.Int(1) != 0, m_findName.Int(2), m_findName.Int(3)};
    m_findName.Reset();
    // Not recorded and not to be added, or the file cannot be read.
    if (step != SQLITE_ROW && (step != SQLITE_DONE || !add))
        return step == SQLITE_DONE;
    if (step == SQLITE_DONE) {
        if (!m_addName.Bind(1, name).Run())
            return false;
        read.id = sqlite3_last_insert_rowid(m_db.Get());
    }
    row = &m_names.emplace(name, read).first->second;
    return true;
}

void RecordWriter::Changed(NameRow& row)
{
    if (!row.changed)
        m_changed.push_back(&row);
    row.changed = true;
}

bool RecordWriter::WriteChangedNames()
{
    bool ok = true;
    for (NameRow* const row : m_changed) {
        row->changed = false;
        ok = ok && m_nameRow.Bind(1, row->id)
                       .Bind(2, std::int64_t{row->present})
                       .Bind(3, row->firstWrite)
                       .Bind(4, row->lastWrite)
                       .Run();
    }
    m_changed.clear();
    return ok;
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
    NameRow* row = nullptr;
    if (!Row(event.name, true, row) ||
        !m_write.Bind(1, row->id).Bind(2, event.timeMs).Bind(3, event.value).Bind(4, static_cast<std::int64_t>(event.source)).Run())
        return false;
    const std::int64_t written = sqlite3_last_insert_rowid(m_db.Get());
    // Written again after its removal, a name is restored in its new place.
    if (!row->present)
        row->firstWrite = written;
    row->present = true;
    row->lastWrite = written;
    Changed(*row);
    return true;
}

bool RecordWriter::Unset(const RecordEvent& event)
{
    NameRow* row = nullptr;
    if (!Row(event.name, false, row))
        return false;
    if (!row || !row->present)
        return true; // never recorded, or dropped on a full queue: nothing to remove
    row->present = false;
    Changed(*row);
    return m_write.Bind(1, row->id).Bind(2, event.timeMs).BindNull(3).BindNull(4).Run();
}

bool RecordWriter::Reset(const RecordEvent& event)
{
    // These statements read the file's rows: they must hold the batch so far.
    if (!WriteChangedNames() || !m_removeAll.Bind(1, event.timeMs).Run() || !m_removedAll.Run())
        return false;
    for (auto& [name, row] : m_names)
        row.present = false;
    return true;
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
    // Names without a present value may be gone from the file now.
    if (looked > 0)
        std::erase_if(m_names, [](const auto& entry) { return !entry.second.present; });
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
