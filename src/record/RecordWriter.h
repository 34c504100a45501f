#pragma once

#include "RecordEvent.h"
#include "SqliteConnection.h"
#include "SqliteStatement.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace pontivo {

// The recording's one writing connection, used by one thread at a time.
class RecordWriter {
public:
    // Rows a prune step looks at: a step stays short however much is due.
    static constexpr int kPruneStepRows = 2000;
    // Names rows kept in memory between batches; more are read from the file again.
    static constexpr std::size_t kCachedNames = std::size_t{1} << 16;

    RecordWriter(SqliteConnection db, std::int64_t keepMs, std::uint64_t maxBytes);

    // The whole batch in one transaction, or nothing of it; false when the file cannot take it.
    bool Write(const std::vector<RecordEvent>& batch);
    // Removes up to kPruneStepRows writes older than the age limit (or the oldest, while the file is
    // over its size), never the last value of a name still present. `more` tells whether rows remain due.
    bool Prune(std::int64_t nowMs, bool& more);
    // Bytes the file's pages hold, free pages not counted.
    std::uint64_t UsedBytes() const;
    std::string Failure() const;

private:
    // A names row as the file holds it once the batch commits; changed rows are written once per batch.
    struct NameRow {
        std::int64_t id = 0;
        bool present = false;
        std::int64_t firstWrite = 0;
        std::int64_t lastWrite = 0;
        bool changed = false;
    };

    // The row of the name, read from the file when not in memory, added when `add`; null when it is
    // not recorded. False when the file cannot be read or written.
    bool Row(const std::string& name, bool add, NameRow*& row);
    bool WriteChangedNames();
    void Changed(NameRow& row);
    void ForgetNames();
    bool Apply(const RecordEvent& event);
    bool Set(const RecordEvent& event);
    bool Unset(const RecordEvent& event);
    bool Reset(const RecordEvent& event);
    bool Finish(bool ok);

    SqliteConnection m_db; // first: the statements below are finalized before it closes
    std::int64_t m_keepMs;
    std::uint64_t m_maxBytes;
    SqliteStatement m_findName;
    SqliteStatement m_addName;
    SqliteStatement m_write;
    SqliteStatement m_nameRow;
    SqliteStatement m_removeAll;
    SqliteStatement m_removedAll;
    SqliteStatement m_link;
    SqliteStatement m_oldest;
    SqliteStatement m_prune;
    SqliteStatement m_pruneLinks;
    SqliteStatement m_pruneNames;
    std::string m_failure;
    std::unordered_map<std::string, NameRow> m_names;
    std::vector<NameRow*> m_changed;
    long long m_dataVersion = -1; // another connection's commit changes it: the rows in memory are stale
};

} // namespace pontivo
