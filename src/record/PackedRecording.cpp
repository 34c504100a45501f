#include "record/PackedRecording.h"

#include "record/RecordWriter.h"
#include "record/RecordingFile.h"

#include <sqlite3.h>

#include <filesystem>
#include <functional>
#include <limits>

namespace pontivo {
namespace {

// A write as the packed rows hold it; `seq` orders all writes of the recording.
struct PackedPoint {
    std::int64_t seq = 0;
    std::int64_t timeMs = 0;
    WriteSource source = WriteSource::Http;
    std::string_view value;
};

constexpr std::uint8_t kLastSource = static_cast<std::uint8_t>(WriteSource::Restore);

// Reads the packed forms: numbers 7 bits a byte, low first; differences zigzagged; byte strings after their
// length. Every read checks the bounds, since a file can be damaged.
class Reader {
public:
    explicit Reader(std::string_view bytes) : m_bytes(bytes) {}
    bool AtEnd() const { return m_at == m_bytes.size(); }

    bool Number(std::uint64_t& number)
    {
        number = 0;
        for (int shift = 0; shift < 64 && m_at < m_bytes.size(); shift += 7) {
            const auto byte = static_cast<std::uint8_t>(m_bytes[m_at++]);
            number |= std::uint64_t{byte & 0x7fu} << shift;
            if (byte < 0x80)
                return true;
        }
        return false;
    }

    bool Difference(std::int64_t& value)
    {
        std::uint64_t zigzag = 0;
        if (!Number(zigzag))
            return false;
        // Unsigned, so that a damaged difference wraps instead of overflowing.
        value = static_cast<std::int64_t>(static_cast<std::uint64_t>(value) + ((zigzag >> 1) ^ (~(zigzag & 1) + 1)));
        return true;
    }

    bool Byte(std::uint8_t& byte, std::uint8_t highest)
    {
        if (m_at == m_bytes.size() || static_cast<std::uint8_t>(m_bytes[m_at]) > highest)
            return false;
        byte = static_cast<std::uint8_t>(m_bytes[m_at++]);
        return true;
    }

    bool Bytes(std::string_view& bytes)
    {
        std::uint64_t size = 0;
        if (!Number(size) || size > m_bytes.size() - m_at)
            return false;
        bytes = m_bytes.substr(m_at, size);
        m_at += size;
        return true;
    }

private:
    std::string_view m_bytes;
    std::size_t m_at = 0;
};

// A batch: per entry its kind (0 set, 1 unset, 2 reset) and time; but for a reset the name; for a set its
// source and value. False when the bytes are no batch.
bool UnpackBatch(std::string_view packed, std::vector<RecordEvent>& events)
{
    Reader reader(packed);
    std::int64_t timeMs = 0;
    std::uint8_t kind = 0;
    std::uint8_t source = static_cast<std::uint8_t>(WriteSource::Http);
    std::string_view name;
    std::string_view value;
    while (!reader.AtEnd()) {
        if (!reader.Byte(kind, static_cast<std::uint8_t>(RecordEvent::Kind::Reset)) || !reader.Difference(timeMs))
            return false;
        const auto as = static_cast<RecordEvent::Kind>(kind);
        name = value = {};
        if (as != RecordEvent::Kind::Reset && !reader.Bytes(name))
            return false;
        if (as == RecordEvent::Kind::Set && (!reader.Byte(source, kLastSource) || !reader.Bytes(value)))
            return false;
        events.push_back({as, timeMs, std::string(name), std::string(value), static_cast<WriteSource>(source)});
    }
    return true;
}

// A chunk: one name's writes, per write its seq and time (differences), source and value.
bool UnpackChunk(std::string_view packed, const std::function<bool(const PackedPoint&)>& visit)
{
    Reader reader(packed);
    PackedPoint point;
    std::uint8_t source = 0;
    while (!reader.AtEnd()) {
        if (!reader.Difference(point.seq) || !reader.Difference(point.timeMs) || !reader.Byte(source, kLastSource) ||
            !reader.Bytes(point.value))
            return false;
        point.source = static_cast<WriteSource>(source);
        if (!visit(point))
            return false;
    }
    return true;
}

// Copies every row that `rows` gives; false at the first that fails. `damaged` when the old file fails.
bool CopyRows(SqliteStatement& rows, const std::function<bool(const SqliteStatement&)>& copy, bool& damaged)
{
    int step = SQLITE_ROW;
    while ((step = rows.Step()) == SQLITE_ROW)
        if (!copy(rows))
            return false;
    damaged = damaged || step != SQLITE_DONE;
    return step == SQLITE_DONE;
}

// The names, the writes sorted into chunks (their seq kept as their id, so that the order of writing stays)
// and the link changes, in one transaction.
bool CopySorted(const SqliteConnection& old, const SqliteConnection& db, bool& damaged)
{
    SqliteStatement names(old, "SELECT id, name, present, first_seq FROM names");
    SqliteStatement chunks(old, "SELECT name_id, points FROM chunks ORDER BY id");
    SqliteStatement links(old, "SELECT time, state FROM links ORDER BY id");
    SqliteStatement addName(db, "INSERT INTO names(id, name, present, first_id) VALUES(?1, ?2, ?3, ?4)");
    SqliteStatement addChange(db, "INSERT INTO changes(id, time_ms, name_id, value, source) VALUES(?1, ?2, ?3, ?4, ?5)");
    SqliteStatement addLink(db, "INSERT INTO links(time_ms, state) VALUES(?1, ?2)");
    bool inserted = true;
    const auto copyChunk = [&](const SqliteStatement& row) {
        const bool read = UnpackChunk(row.View(1), [&](const PackedPoint& point) {
            return inserted = addChange.Bind(1, point.seq).Bind(2, point.timeMs).Bind(3, row.Int(0)).Bind(4, point.value)
                                  .Bind(5, std::int64_t{static_cast<std::uint8_t>(point.source)}).Run();
        });
        damaged = damaged || (!read && inserted);
        return read;
    };
    return db.Exec("BEGIN") &&
           CopyRows(names, [&](const SqliteStatement& row) {
               return addName.Bind(1, row.Int(0)).Bind(2, row.View(1)).Bind(3, row.Int(2)).Bind(4, row.Int(3)).Run();
           }, damaged) &&
           CopyRows(chunks, copyChunk, damaged) &&
           CopyRows(links, [&](const SqliteStatement& row) { return addLink.Bind(1, row.Int(0)).Bind(2, row.View(1)).Run(); }, damaged) &&
           db.Exec("UPDATE names SET last_id = (SELECT max(id) FROM changes WHERE name_id = names.id); COMMIT");
}

// A reader of a log-mode file leaves the log and its index beside it; the file alone holds what it did.
void RemoveLogFiles(const std::string& path)
{
    std::error_code ignored;
    for (const char* suffix : {"-wal", "-shm"})
        std::filesystem::remove(path + suffix, ignored);
}

void RemoveDatabase(const std::string& path)
{
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    RemoveLogFiles(path);
}

} // namespace

bool PackedRecording::Convert(const std::string& path, std::string& error)
{
    const std::string kept = path + kKeptSuffix;
    std::error_code failed;
    if (std::filesystem::exists(kept, failed)) {
        error = path + " cannot be converted to this version's format: " + kept + " is in the way";
        return false;
    }
    // Closing the last connection folds the log into the file, so that the file alone holds the recording.
    SqliteConnection(path, true).Exec("PRAGMA wal_checkpoint(TRUNCATE)");
    std::filesystem::rename(path, kept, failed);
    if (failed) {
        error = path + " cannot be converted to this version's format: " + failed.message();
        return false;
    }
    if (Copy(kept, path, error)) {
        RemoveLogFiles(kept); // emptied above, before the rename
        return true;
    }
    RemoveDatabase(path);
    std::filesystem::rename(kept, path, failed);
    return false;
}

bool PackedRecording::Copy(const std::string& from, const std::string& to, std::string& error)
{
    const SqliteConnection old(from, false);
    SqliteConnection db(to, true);
    bool damaged = false;
    const bool copied = RecordingFile::Create(db) && CopySorted(old, db, damaged);
    const std::string why = copied ? std::string() : RecordingFile::Failure(db);
    // Then the batches a server left unsorted, newer than every chunk, as they came.
    SqliteStatement batches(old, "SELECT events FROM batches ORDER BY id");
    RecordWriter writer(std::move(db), std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::uint64_t>::max());
    const bool written = copied && CopyRows(batches, [&](const SqliteStatement& row) {
        std::vector<RecordEvent> events;
        return (UnpackBatch(row.View(0), events) || (damaged = true, false)) && writer.Write(events);
    }, damaged);
    if (damaged)
        error = to + " is damaged (a packed row cannot be read)";
    else if (!written)
        error = to + " cannot be converted to this version's format: " + (why.empty() ? writer.Failure() : why);
    return written;
}

} // namespace pontivo
