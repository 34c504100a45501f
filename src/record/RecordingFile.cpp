#include "record/RecordingFile.h"

#include "record/PackedRecording.h"
#include "record/SqliteStatement.h"

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>

namespace pontivo {
namespace {

// One row in `changes` per write, removal (value NULL) and reset (name_id and value NULL), in the order
// they came; `names` holds each name once, whether it is present now, its first write since it was last
// removed (the order a restore adds it in) and its last write (the value a restore gives it). Names and
// values are TEXT when they are UTF-8, else BLOB. Sources: 0 board, 1 http, 2 mqtt, 3 restore. The index
// covers a name's history, in the order of writing within a millisecond: it is read without the table.
constexpr const char* kTables = R"(
CREATE TABLE names(id INTEGER PRIMARY KEY, name NOT NULL UNIQUE, present INTEGER NOT NULL DEFAULT 0,
                   first_id INTEGER, last_id INTEGER);
CREATE TABLE changes(id INTEGER PRIMARY KEY, time_ms INTEGER NOT NULL, name_id INTEGER, value,
                     source INTEGER NOT NULL);
CREATE INDEX changes_by_name ON changes(name_id, time_ms, id, value, source);
CREATE TABLE links(id INTEGER PRIMARY KEY, time_ms INTEGER NOT NULL, state NOT NULL);
CREATE VIEW history AS
SELECT strftime('%Y-%m-%dT%H:%M:%fZ', c.time_ms / 1000.0, 'unixepoch') AS time, c.time_ms, n.name, c.value,
       CASE c.source WHEN 0 THEN 'board' WHEN 1 THEN 'http' WHEN 2 THEN 'mqtt' ELSE 'restore' END AS source
FROM changes c LEFT JOIN names n ON n.id = c.name_id;
)";

SqliteConnection Opened(const std::string& path, bool writable, std::string& error)
{
    SqliteConnection db(path, writable);
    if (!db.Valid()) {
        error = path + " cannot be opened: " + db.Error();
        return {};
    }
    // The writer waits out a reader's moment; a reader on the event loop hardly waits at all.
    sqlite3_busy_timeout(db.Get(), writable ? 2000 : 50);
    return db;
}

// The schema's objects, each as its type, name, table and SQL text, in one fixed order; empty when it
// cannot be read.
std::string Objects(const SqliteConnection& db)
{
    SqliteStatement rows(db, "SELECT type, name, tbl_name, sql FROM sqlite_schema ORDER BY type, name");
    std::string objects;
    int step = SQLITE_ROW;
    while ((step = rows.Step()) == SQLITE_ROW) {
        for (int column = 0; column < 4; ++column)
            objects.append(rows.View(column)).push_back('\0');
    }
    return step == SQLITE_DONE ? objects : std::string();
}

// The objects a file of the format holds, as SQLite itself writes them from our tables.
std::string OurObjects(const char* tables)
{
    const SqliteConnection db(":memory:", true);
    return db.Exec(tables) ? Objects(db) : std::string();
}

// Exactly a recording's objects: another table, index, view or trigger may be a crafted file's own SQL.
bool OnlyOurObjects(const SqliteConnection& db, long long format)
{
    static const std::string current = OurObjects(kTables);
    static const std::string packed = OurObjects(PackedRecording::kTables);
    const std::string found = Objects(db);
    return !found.empty() && found == (format == RecordingFile::kFormat ? current : packed);
}

} // namespace

bool RecordingFile::Create(const SqliteConnection& db)
{
    // The page layout must be chosen before the first table.
    const std::string script = std::string("BEGIN;") + kTables + "PRAGMA application_id = " + std::to_string(kApplicationId) +
                               "; PRAGMA user_version = " + std::to_string(kFormat) + "; COMMIT;";
    return db.Exec("PRAGMA auto_vacuum = INCREMENTAL") && db.Exec("PRAGMA journal_mode = WAL") && db.Exec(script.c_str());
}

SqliteConnection RecordingFile::OpenWriter(const std::string& path, std::string& error, std::string& converted)
{
    SqliteConnection db = Opened(path, true, error);
    long long format = db.Valid() ? Format(db, path, true, error) : -1;
    if (format == kPackedFormat) {
        db = {};
        if (!PackedRecording::Convert(path, error))
            return {};
        converted = "recording: " + path + " was converted to rows SQL tools read; the original is kept as " + path +
                    PackedRecording::kKeptSuffix;
        db = Opened(path, true, error);
        format = db.Valid() ? Format(db, path, true, error) : -1;
    }
    if (format != kFormat)
        return {};
    if (!db.Exec("PRAGMA journal_mode = WAL") || !db.Exec("PRAGMA synchronous = NORMAL")) {
        error = path + " cannot be written: " + Failure(db);
        return {};
    }
    return db;
}

SqliteConnection RecordingFile::OpenReader(const std::string& path, std::string& error)
{
    SqliteConnection db = Opened(path, false, error);
    const long long format = db.Valid() ? Format(db, path, false, error) : -1;
    if (format == kPackedFormat)
        error = path + " is a recording of an earlier version: open it once with pontivo --record to convert it";
    return format == kFormat ? std::move(db) : SqliteConnection();
}

long long RecordingFile::Format(const SqliteConnection& db, const std::string& path, bool writable, std::string& error)
{
    const long long tables = db.Integer("SELECT count(*) FROM sqlite_schema");
    if (tables < 0) {
        error = path + " is damaged or not a database (" + db.Error() + ")";
        return -1;
    }
    if (tables == 0) {
        if (writable && Create(db))
            return kFormat;
        error = path + (writable ? " cannot be written: " + Failure(db) : std::string(" is not a recording yet"));
        return -1;
    }
    if (db.Integer("PRAGMA application_id") != kApplicationId) {
        error = path + " is a database of another program, not a recording";
        return -1;
    }
    const long long format = db.Integer("PRAGMA user_version");
    if (format != kFormat && format != kPackedFormat) {
        error = path + " was recorded by another version of Pontivo (format " + std::to_string(format) + ", this one reads " +
                std::to_string(kFormat) + ")";
        return -1;
    }
    if (!OnlyOurObjects(db, format)) {
        error = path + " holds tables or other objects a recording does not have";
        return -1;
    }
    if (writable && !CheckWhole(db, error)) {
        error = path + error;
        return -1;
    }
    return format;
}

bool RecordingFile::CheckWhole(const SqliteConnection& db, std::string& error)
{
    SqliteStatement check(db, "PRAGMA quick_check(1)");
    const int step = check.Step();
    if (step == SQLITE_ROW && check.Bytes(0) == "ok")
        return true;
    std::string found = step == SQLITE_ROW ? check.Bytes(0) : db.Error();
    std::replace(found.begin(), found.end(), '\n', ' ');
    error = " is damaged (" + found + ")";
    return false;
}

std::string RecordingFile::Failure(const SqliteConnection& db)
{
    const int code = db.Code();
    const int system = db.SystemError();
    // A file-size limit ends a write short, like a full disk, but SQLite tells it apart.
    if ((code & 0xff) == SQLITE_FULL || system == ENOSPC || system == EFBIG || system == EDQUOT)
        return "the disk is full";
    return db.Error();
}

} // namespace pontivo
