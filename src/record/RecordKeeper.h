#pragma once

#include "record/RecordOptions.h"
#include "record/RecordWriter.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace pontivo {

// The writer's side of the recording, wherever it runs: each hand-over from the loop in one transaction,
// the batches sorted into chunks every sortInterval (sooner past RecordWriter::kSortBytes), pruning a
// step at a time.
class RecordKeeper {
public:
    static constexpr std::chrono::milliseconds kPruneStepWait{500};

    explicit RecordKeeper(RecordOptions options);

    // Opens (or creates) the file and sorts what a killed process left, so that a restore reads sorted
    // values. False with a one-line reason.
    bool Open(std::string& error);
    // `stopping`: the last hand-over, sorted at once. False once the file cannot take them: Failure()
    // says why, and nothing more is written.
    bool Take(const std::vector<std::string>& messages, bool stopping);
    // "FILE: reason".
    std::string Failure() const;
    // How long to wait for a hand-over before a look of its own: short while pruning is due, so that a
    // file over its limits shrinks while nothing is written, else the sorting interval.
    std::chrono::milliseconds IdleWait() const;

private:
    const RecordOptions m_options;
    std::unique_ptr<RecordWriter> m_writer;
    bool m_pruneMore = true;
    std::chrono::steady_clock::time_point m_lastSort;
};

} // namespace pontivo
