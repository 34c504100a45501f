#pragma once

#include "record/SqliteConnection.h"

#include <cstdint>
#include <string>

namespace pontivo {

// The recording's file as both its writer and its readers know it: tables, format number, checks.
class RecordingFile {
public:
    // Changes whenever a table changes shape; a file of another format is never written to.
    static constexpr int kFormat = 2;
    // "Pntv": a database that does not carry it belongs to some other program.
    static constexpr int kApplicationId = 0x506e7476;
    // A batch holds fewer writes than this; a write's place in the recording is its batch's id times
    // this plus its index in the batch.
    static constexpr std::int64_t kBatchSeqs = std::int64_t{1} << 24;

    static std::int64_t FirstSeq(std::int64_t batchId) { return batchId * kBatchSeqs; }

    // Opens the file for the writer (creating the tables in an empty or new file, after a full check)
    // or for a reader. An invalid connection and a one-line reason when it cannot be used.
    static SqliteConnection Open(const std::string& path, bool writable, std::string& error);
    // The reason a statement on a recording failed, said for a user.
    static std::string Failure(const SqliteConnection& db);

private:
    static bool Check(const SqliteConnection& db, bool writable, std::string& error);
};

} // namespace pontivo
