#pragma once

#include "record/SqliteConnection.h"

#include <string>

namespace pontivo {

// The recording's file as both its writer and its readers know it: tables, format number, checks.
class RecordingFile {
public:
    // Changes whenever a table changes shape; a file of another format is never written to.
    static constexpr int kFormat = 3;
    // The packed format before this one: converted when opened for writing.
    static constexpr int kPackedFormat = 2;
    // "Pntv": a database that does not carry it belongs to some other program.
    static constexpr int kApplicationId = 0x506e7476;

    // Opens the file for the writer: creates the tables in an empty or new file and converts one of the
    // packed format (`converted` then says so), after a full check. An invalid connection and a
    // one-line reason when it cannot be used.
    static SqliteConnection OpenWriter(const std::string& path, std::string& error, std::string& converted);
    static SqliteConnection OpenReader(const std::string& path, std::string& error);
    // Makes an empty database a recording.
    static bool Create(const SqliteConnection& db);
    // The reason a statement on a recording failed, said for a user.
    static std::string Failure(const SqliteConnection& db);

private:
    // The file's format, or -1 with `error` set when it is no recording.
    static long long Format(const SqliteConnection& db, const std::string& path, bool writable, std::string& error);
    static bool CheckWhole(const SqliteConnection& db, std::string& error);
};

} // namespace pontivo
