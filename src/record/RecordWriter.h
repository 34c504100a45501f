#pragma once

#include "record/RecordCodec.h"
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
    // Chunks a prune step looks at: a step stays short however much is due.
    static constexpr int kPruneStepChunks = 500;
    // Events the loop packs into one batch row at most, well under RecordingFile::kBatchSeqs.
    static constexpr std::size_t kBatchEvents = std::size_t{1} << 16;
    // Free pages a file keeps for the next batches rather than giving them back (1 MiB of 4 KiB pages).
    static constexpr long long kKeptFreePages = 256;
    // Packed bytes of batches past which they are due to be sorted into chunks.
    static constexpr std::size_t kSortBytes = std::size_t{4} << 20;

    RecordWriter(SqliteConnection db, std::int64_t keepMs, std::uint64_t maxBytes);

    // The messages (BatchPacker's and LinkMessage's) in one transaction, or nothing of them; false when
    // the file cannot take them.
    bool Write(const std::vector<std::string>& messages);
    // Sorts every batch in the file (any writer's, or one a killed process left) into chunks.
    bool Sort();
    // Packed bytes this writer added since its last Sort().
    std::size_t UnsortedBytes() const { return m_unsortedBytes; }
    // Removes up to kPruneStepChunks chunks older than the age limit (or the oldest, while the file is
    // over its size), never the one holding the last value of a name still present. `more` tells
    // whether chunks remain due.
    bool Prune(std::int64_t nowMs, bool& more);
    // At the end: the free pages kept for the next batches go back to the file system.
    bool GiveBackFreePages();
    // Bytes the file's pages hold, free pages not counted.
    std::uint64_t UsedBytes() const;
    std::string Failure() const;

private:
    // A names row as the file will hold it once the sort commits, with the values it gained.
    struct NameRow {
        std::int64_t id = 0;
        bool present = false;
        std::int64_t firstSeq = 0;
        std::int64_t lastChunk = 0;
        ChunkPacker chunk;
    };
    // The row of the name, read from the file or added when `add`; null when it is not recorded.
    // False when the file cannot be read or written.
    bool Row(std::string_view name, bool add, NameRow*& row);
    bool Apply(const LoggedEvent& event, std::int64_t seq);
    bool WriteSorted();
    // Old chunks that hold a present name's last value keep that value alone; `all` tells whether
    // this step reached every such chunk.
    bool TrimLastChunks(bool overSize, std::int64_t cutoff, bool& all);
    bool Finish(bool ok, const std::string& reason = {});

    SqliteConnection m_db; // first: the statements below are finalized before it closes
    std::int64_t m_keepMs;
    std::uint64_t m_maxBytes;
    // Prepared once: parsing the SQL of each commit cost the writer a tenth of its time.
    SqliteStatement m_beginWrite;
    SqliteStatement m_begin;
    SqliteStatement m_commit;
    SqliteStatement m_addBatch;
    SqliteStatement m_batches;
    SqliteStatement m_removeBatches;
    SqliteStatement m_findName;
    SqliteStatement m_addName;
    SqliteStatement m_addChunk;
    SqliteStatement m_nameRow;
    SqliteStatement m_removedAll;
    SqliteStatement m_link;
    SqliteStatement m_oldest;
    SqliteStatement m_prune;
    SqliteStatement m_pruneLinks;
    SqliteStatement m_pruneNames;
    SqliteStatement m_lastChunks;
    SqliteStatement m_trimChunk;
    std::string m_failure;
    std::size_t m_unsortedBytes = 0;
    // The names a sort has met so far, and whether a reset came among them.
    std::unordered_map<std::string, NameRow, TransparentHash, std::equal_to<>> m_sorting;
    bool m_resetInSort = false;
};

} // namespace pontivo
