#pragma once

#include <string>

namespace pontivo {

// A recording of the packed format (2), where a row held many writes: its rows are moved into the present
// format once, and the original is kept beside the file.
class PackedRecording {
public:
    static constexpr const char* kKeptSuffix = ".format2";
    // Its tables as that version made them: a file of this format holding anything else is refused.
    static constexpr const char* kTables = R"(
CREATE TABLE names(id INTEGER PRIMARY KEY, name BLOB NOT NULL UNIQUE, present INTEGER NOT NULL DEFAULT 0,
                   first_seq INTEGER, last_chunk INTEGER);
CREATE TABLE batches(id INTEGER PRIMARY KEY AUTOINCREMENT, events BLOB NOT NULL);
CREATE TABLE chunks(id INTEGER PRIMARY KEY, name_id INTEGER NOT NULL, first_seq INTEGER NOT NULL,
                    first_time INTEGER NOT NULL, last_time INTEGER NOT NULL, count INTEGER NOT NULL,
                    points BLOB NOT NULL);
CREATE INDEX chunks_by_name_time ON chunks(name_id, last_time, first_time);
CREATE TABLE links(id INTEGER PRIMARY KEY, time INTEGER NOT NULL, state BLOB NOT NULL);
)";

    // Moves the file to FILE.format2 and writes its writes, removals, resets and link changes as rows of a
    // new FILE. False with a one-line reason (the file then is as it was).
    static bool Convert(const std::string& path, std::string& error);

private:
    static bool Copy(const std::string& from, const std::string& to, std::string& error);
};

} // namespace pontivo
