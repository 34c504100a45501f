#include "record/RecordingFile.h"

#include "record/SqliteStatement.h"

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>

namespace pontivo {
namespace {

// Names and values are byte strings, kept as blobs. Each commit adds one row to `batches`: its writes,
// removals and resets, packed. Every few seconds the batches are sorted into `chunks`, one row per name
// holding its values over that stretch. A write's place in the recording (its seq) is its batch's id
// times 2^24 plus its index there. names.first_seq is the first write since the name was last removed:
// the order a restore adds them in; names.last_chunk holds its last value.
constexpr const char* kTables = R"(
CREATE TABLE names(id INTEGER PRIMARY KEY, name BLOB NOT NULL UNIQUE, present INTEGER NOT NULL DEFAULT 0,
                   first_seq INTEGER, last_chunk INTEGER);
CREATE TABLE batches(id INTEGER PRIMARY KEY AUTOINCREMENT, events BLOB NOT NULL);
CREATE TABLE chunks(id INTEGER PRIMARY KEY, name_id INTEGER NOT NULL, first_seq INTEGER NOT NULL,
                    first_time INTEGER NOT NULL, last_time INTEGER NOT NULL, count INTEGER NOT NULL,
                    points BLOB NOT NULL);
CREATE INDEX chunks_by_name_time ON chunks(name_id, last_time, first_time);
CREATE TABLE links(id INTEGER PRIMARY KEY, time INTEGER NOT NULL, state BLOB NOT NULL);
)";

std::string CreationScript()
{
    return std::string("BEGIN;") + kTables + "PRAGMA application_id = " + std::to_string(RecordingFile::kApplicationId) +
           "; PRAGMA user_version = " + std::to_string(RecordingFile::kFormat) + "; COMMIT;";
}

} // namespace

SqliteConnection RecordingFile::Open(const std::string& path, bool writable, std::string& error)
{
    SqliteConnection db(path, writable);
    if (!db.Valid()) {
        error = path + " cannot be opened: " + db.Error();
        return {};
    }
    // The writer waits out a reader's moment; a reader on the event loop hardly waits at all.
    sqlite3_busy_timeout(db.Get(), writable ? 2000 : 50);
    if (!Check(db, writable, error)) {
        error = path + error;
        return {};
    }
    return db;
}

bool RecordingFile::Check(const SqliteConnection& db, bool writable, std::string& error)
{
    const long long tables = db.Integer("SELECT count(*) FROM sqlite_schema");
    if (tables < 0) {
        error = " is damaged or not a database (" + db.Error() + ")";
        return false;
    }
    if (tables == 0) {
        // New (or empty): the page layout must be chosen before the first table.
        if (writable && db.Exec("PRAGMA auto_vacuum = INCREMENTAL") && db.Exec("PRAGMA journal_mode = WAL") &&
            db.Exec(CreationScript().c_str()))
            return db.Exec("PRAGMA synchronous = NORMAL");
        error = writable ? " cannot be written: " + Failure(db) : " is not a recording yet";
        return false;
    }
    if (db.Integer("PRAGMA application_id") != kApplicationId) {
        error = " is a database of another program, not a recording";
        return false;
    }
    if (const long long format = db.Integer("PRAGMA user_version"); format != kFormat) {
        error = " was recorded by another version of Pontivo (format " + std::to_string(format) + ", this one reads " +
                std::to_string(kFormat) + ")";
        return false;
    }
    if (!writable)
        return true;
    SqliteStatement check(db, "PRAGMA quick_check(1)");
    const int step = check.Step();
    if (step != SQLITE_ROW || check.Bytes(0) != "ok") {
        std::string found = step == SQLITE_ROW ? check.Bytes(0) : db.Error();
        std::replace(found.begin(), found.end(), '\n', ' ');
        error = " is damaged (" + found + ")";
        return false;
    }
    if (!db.Exec("PRAGMA journal_mode = WAL") || !db.Exec("PRAGMA synchronous = NORMAL")) {
        error = " cannot be written: " + Failure(db);
        return false;
    }
    return true;
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
