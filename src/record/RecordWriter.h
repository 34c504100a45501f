#pragma once

#include "record/RecordEvent.h"
#include "record/SqliteConnection.h"
#include "record/SqliteStatement.h"
#include "store/TransparentHash.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace pontivo {

// The recording's one writing connection, used by one thread at a time.
class RecordWriter {
public:
    // Rows a prune step looks at: a step stays short however much is due.
    static constexpr int kPruneStepRows = 20'000;
    // Free pages a file keeps for the next writes rather than giving them back (1 MiB of 4 KiB pages).
    static constexpr long long kKeptFreePages = 256;

    RecordWriter(SqliteConnection db, std::int64_t keepMs, std::uint64_t maxBytes);
    // Every statement prepared: a file where one cannot be is not written to at all.
    bool Prepared() const;

    // The events in one transaction, or nothing of them; false when the file cannot take them.
    bool Write(const std::vector<RecordEvent>& events);
    // Removes up to kPruneStepRows rows older than the age limit (or the oldest, while the file is over
    // its size), never the last value of a name still present. `more` tells whether rows remain due.
    bool Prune(std::int64_t nowMs, bool& more);
    // At the end: the free pages kept for the next writes go back to the file system.
    bool GiveBackFreePages();
    // Bytes the file's pages hold, free pages not counted.
    std::uint64_t UsedBytes() const;
    const std::string& Failure() const { return m_failure; }

private:
    // A names row as the file will hold it once the transaction commits.
    struct NameRow {
        std::int64_t id = 0;
        bool present = false;
        std::int64_t firstId = 0;
        std::int64_t lastId = 0;
    };
    // The row of the name, read from the file or added; null when the file cannot be read or written.
    NameRow* Row(std::string_view name);
    bool Apply(const RecordEvent& event);
    bool AddChange(const RecordEvent& event, const NameRow* row);
    bool WriteNames();
    bool Finish(bool ok);

    SqliteConnection m_db; // first: the statements below are finalized before it closes
    std::int64_t m_keepMs;
    std::uint64_t m_maxBytes;
    // Prepared once: parsing the SQL of each commit would cost the writer a good share of its time.
    SqliteStatement m_beginWrite;
    SqliteStatement m_begin;
    SqliteStatement m_commit;
    SqliteStatement m_addChange;
    SqliteStatement m_findName;
    SqliteStatement m_addName;
    SqliteStatement m_nameRow;
    SqliteStatement m_removedAll;
    SqliteStatement m_link;
    SqliteStatement m_oldest;
    SqliteStatement m_prune;
    SqliteStatement m_pruneLinks;
    SqliteStatement m_pruneNames;
    std::string m_failure;
    // Rows up to this id were looked at in the current pass of pruning; the next pass starts again at 0,
    // so a value that lost its protection (its name was written again or removed) goes then.
    std::int64_t m_prunedUpTo = 0;
    // The names the current transaction has touched.
    std::unordered_map<std::string, NameRow, TransparentHash, std::equal_to<>> m_touched;
};

} // namespace pontivo
