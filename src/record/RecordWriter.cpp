#include "record/RecordWriter.h"

#include "record/RecordingFile.h"

#include <sqlite3.h>

#include <algorithm>
#include <string>
#include <utility>

namespace pontivo {
namespace {

// The chunks pruning never takes: each present name's last value, which a restore needs.
std::string Unprotected(const char* before, const char* after = "")
{
    return std::string(before) + " id NOT IN (SELECT last_chunk FROM names WHERE present = 1 AND last_chunk IS NOT NULL)" +
           after;
}

} // namespace

RecordWriter::RecordWriter(SqliteConnection db, std::int64_t keepMs, std::uint64_t maxBytes)
    : m_db(std::move(db))
    , m_keepMs(keepMs)
    , m_maxBytes(maxBytes)
    , m_beginWrite(m_db, "BEGIN IMMEDIATE")
    , m_begin(m_db, "BEGIN")
    , m_commit(m_db, "COMMIT")
    , m_addBatch(m_db, "INSERT INTO batches(events) VALUES(?1)")
    , m_batches(m_db, "SELECT id, events FROM batches ORDER BY id")
    , m_removeBatches(m_db, "DELETE FROM batches WHERE id <= ?1")
    , m_findName(m_db, "SELECT id, present, first_seq, last_chunk FROM names WHERE name = ?1")
    , m_addName(m_db, "INSERT INTO names(name) VALUES(?1)")
    , m_addChunk(m_db, "INSERT INTO chunks(name_id, first_seq, first_time, last_time, count, points) "
                       "VALUES(?1, ?2, ?3, ?4, ?5, ?6)")
    , m_nameRow(m_db, "UPDATE names SET present = ?2, first_seq = ?3, last_chunk = ?4 WHERE id = ?1")
    , m_removedAll(m_db, "UPDATE names SET present = 0 WHERE present = 1")
    , m_link(m_db, "INSERT INTO links(time, state) VALUES(?1, ?2)")
    , m_oldest(m_db, Unprotected("SELECT id, last_time FROM chunks WHERE", " ORDER BY id LIMIT ?1"))
    , m_prune(m_db, Unprotected("DELETE FROM chunks WHERE id <= ?1 AND"))
    , m_pruneLinks(m_db, "DELETE FROM links WHERE id IN (SELECT id FROM links WHERE time < ?1 ORDER BY id LIMIT ?2)")
    , m_pruneNames(m_db, "DELETE FROM names WHERE present = 0 AND NOT EXISTS "
                         "(SELECT 1 FROM chunks WHERE name_id = names.id)")
    , m_lastChunks(m_db, "SELECT c.id, c.points FROM chunks c JOIN names n ON n.last_chunk = c.id "
                         "WHERE n.present = 1 AND c.count > 1 AND (?1 OR c.last_time < ?2) LIMIT ?3")
    , m_trimChunk(m_db, "UPDATE chunks SET first_seq = ?2, first_time = ?3, count = 1, points = ?4 WHERE id = ?1")
{
}

bool RecordWriter::Write(const std::vector<std::string>& messages)
{
    if (!m_beginWrite.Run())
        return Finish(false);
    bool ok = true;
    std::size_t packedBytes = 0;
    for (auto message = messages.begin(); ok && message != messages.end(); ++message) {
        std::int64_t timeMs = 0;
        std::string_view state;
        if (!message->empty() && message->front() == static_cast<char>(WriterMessage::Events)) {
            packedBytes += message->size() - 1;
            ok = message->size() == 1 || m_addBatch.Bind(1, std::string_view(*message).substr(1)).Run();
        } else if (ReadLinkMessage(*message, timeMs, state)) {
            ok = m_link.Bind(1, timeMs).Bind(2, state).Run();
        } else {
            return Finish(false, "the writer was handed a damaged message");
        }
    }
    if (!Finish(ok))
        return false;
    m_unsortedBytes += packedBytes;
    return true;
}

bool RecordWriter::Sort()
{
    // The write lock first: a batch committed meanwhile would be removed unsorted.
    if (!m_beginWrite.Run())
        return Finish(false);
    m_sorting.clear();
    m_resetInSort = false;
    std::int64_t lastBatch = -1;
    std::string damaged;
    bool ok = true;
    int step = SQLITE_ROW;
    while (ok && (step = m_batches.Step()) == SQLITE_ROW) {
        lastBatch = m_batches.Int(0);
        std::int64_t seq = RecordingFile::FirstSeq(lastBatch);
        bool applied = true;
        ok = UnpackBatch(m_batches.View(1), [&](const LoggedEvent& event) { applied = applied && Apply(event, seq++); });
        if (!ok)
            damaged = "the file is damaged (batch " + std::to_string(lastBatch) + " cannot be read)";
        ok = ok && applied;
    }
    m_batches.Reset();
    ok = ok && (step == SQLITE_DONE || step == SQLITE_ROW) && WriteSorted() &&
         (lastBatch < 0 || m_removeBatches.Bind(1, lastBatch).Run());
    m_sorting.clear();
    if (!Finish(ok, damaged))
        return false;
    m_unsortedBytes = 0;
    return true;
}

bool RecordWriter::Row(std::string_view name, bool add, NameRow*& row)
{
    row = nullptr;
    if (const auto found = m_sorting.find(name); found != m_sorting.end()) {
        row = &found->second;
        return true;
    }
    NameRow read;
    const int step = m_findName.Bind(1, name).Step();
    if (step == SQLITE_ROW)
        read.id = m_findName.Int(0), read.present = m_findName.Int(1) != 0 && !m_resetInSort,
        read.firstSeq = m_findName.Int(2), read.lastChunk = m_findName.Int(3);
    m_findName.Reset();
    // Not recorded and not to be added, or the file cannot be read.
    if (step != SQLITE_ROW && (step != SQLITE_DONE || !add))
        return step == SQLITE_DONE;
    if (step == SQLITE_DONE) {
        if (!m_addName.Bind(1, name).Run())
            return false;
        read.id = sqlite3_last_insert_rowid(m_db.Get());
    }
    row = &m_sorting.emplace(std::string(name), std::move(read)).first->second;
    return true;
}

bool RecordWriter::Apply(const LoggedEvent& event, std::int64_t seq)
{
    NameRow* row = nullptr;
    switch (event.kind) {
    case RecordEvent::Kind::Set:
        if (!Row(event.name, true, row))
            return false;
        // Written again after its removal, a name is restored in its new place.
        if (!row->present)
            row->firstSeq = seq;
        row->present = true;
        row->chunk.Add({seq, event.timeMs, event.source, event.value});
        return true;
    case RecordEvent::Kind::Unset:
        if (!Row(event.name, false, row))
            return false;
        if (row)
            row->present = false;
        return true;
    case RecordEvent::Kind::Reset:
        // Names met later read as removed; the file's rows are told when the sort is written.
        m_resetInSort = true;
        for (auto& [name, met] : m_sorting)
            met.present = false;
        return true;
    case RecordEvent::Kind::Link:
        break;
    }
    return false;
}

bool RecordWriter::WriteSorted()
{
    if (m_resetInSort && !m_removedAll.Run())
        return false;
    // In the order of their first values, so that chunk ids follow the recording's order.
    std::vector<NameRow*> rows;
    for (auto& [name, row] : m_sorting)
        rows.push_back(&row);
    std::sort(rows.begin(), rows.end(), [](const NameRow* a, const NameRow* b) {
        return std::pair(a->chunk.Count() == 0, a->chunk.First().seq) < std::pair(b->chunk.Count() == 0, b->chunk.First().seq);
    });
    for (NameRow* const row : rows) {
        const ChunkPacker& chunk = row->chunk;
        if (chunk.Count() > 0) {
            if (!m_addChunk.Bind(1, row->id)
                     .Bind(2, chunk.First().seq)
                     .Bind(3, chunk.First().timeMs)
                     .Bind(4, chunk.LastTimeMs())
                     .Bind(5, static_cast<std::int64_t>(chunk.Count()))
                     .Bind(6, chunk.Packed())
                     .Run())
                return false;
            row->lastChunk = sqlite3_last_insert_rowid(m_db.Get());
        }
        if (!m_nameRow.Bind(1, row->id).Bind(2, std::int64_t{row->present}).Bind(3, row->firstSeq).Bind(4, row->lastChunk).Run())
            return false;
    }
    return true;
}

bool RecordWriter::Finish(bool ok, const std::string& reason)
{
    if (ok && m_commit.Run())
        return true;
    // The reason first: the rollback would replace it.
    m_failure = reason.empty() ? RecordingFile::Failure(m_db) : reason;
    m_db.Exec("ROLLBACK");
    return false;
}

bool RecordWriter::Prune(std::int64_t nowMs, bool& more)
{
    const bool overSize = UsedBytes() > m_maxBytes;
    const std::int64_t cutoff = nowMs - m_keepMs;
    // The oldest chunks first, up to the first one young enough (any while over the size).
    std::int64_t upTo = 0;
    std::int64_t upToTime = cutoff;
    int looked = 0;
    m_oldest.Bind(1, std::int64_t{kPruneStepChunks});
    for (; m_oldest.Step() == SQLITE_ROW && (overSize || m_oldest.Int(1) < cutoff); ++looked) {
        upTo = m_oldest.Int(0);
        upToTime = std::max(upToTime, m_oldest.Int(1));
    }
    m_oldest.Reset();
    if (!m_begin.Run())
        return Finish(false);
    bool trimmedAll = true;
    const bool ok = m_prune.Bind(1, upTo).Run() &&
                    m_pruneLinks.Bind(1, upToTime).Bind(2, std::int64_t{kPruneStepChunks}).Run() &&
                    (looked == 0 || m_pruneNames.Run()) && TrimLastChunks(overSize, cutoff, trimmedAll);
    more = looked == kPruneStepChunks || !trimmedAll;
    // The pages each sort frees are what the next batches take, and moving pages to give them back costs
    // writes: only those past kKeptFreePages go back to the file system, a bounded number at a time.
    const long long surplus = m_db.Integer("PRAGMA freelist_count") - kKeptFreePages;
    const std::string vacuum = "PRAGMA incremental_vacuum(" + std::to_string(std::min(surplus, 4000LL)) + ")";
    return Finish(ok && (surplus <= 0 || m_db.Exec(vacuum.c_str())));
}

bool RecordWriter::GiveBackFreePages()
{
    return m_begin.Run() ? Finish(m_db.Exec("PRAGMA incremental_vacuum")) : Finish(false);
}

bool RecordWriter::TrimLastChunks(bool overSize, std::int64_t cutoff, bool& all)
{
    // Read first, then written: the rows change under the statement otherwise.
    std::vector<std::pair<std::int64_t, ChunkPacker>> trimmed;
    m_lastChunks.Bind(1, std::int64_t{overSize}).Bind(2, cutoff).Bind(3, std::int64_t{kPruneStepChunks});
    std::size_t looked = 0;
    for (; m_lastChunks.Step() == SQLITE_ROW; ++looked) {
        ChunkPacker last;
        RecordedPoint point;
        // A damaged chunk stays as it is: its readers say so.
        if (UnpackChunk(m_lastChunks.View(1), [&](const RecordedPoint& each) { point = each; }))
            last.Add(point), trimmed.emplace_back(m_lastChunks.Int(0), std::move(last));
    }
    m_lastChunks.Reset();
    all = looked < kPruneStepChunks;
    bool ok = true;
    for (const auto& [id, last] : trimmed)
        ok = ok && m_trimChunk.Bind(1, id).Bind(2, last.First().seq).Bind(3, last.First().timeMs).Bind(4, last.Packed()).Run();
    return ok;
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
