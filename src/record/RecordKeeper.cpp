#include "record/RecordKeeper.h"

#include "record/RecordingFile.h"
#include "store/VariableStore.h"

#include <algorithm>
#include <utility>

namespace pontivo {

RecordKeeper::RecordKeeper(RecordOptions options) : m_options(std::move(options)) {}

bool RecordKeeper::Open(std::string& error)
{
    SqliteConnection db = RecordingFile::Open(m_options.file, true, error);
    if (!db.Valid())
        return false;
    m_writer = std::make_unique<RecordWriter>(std::move(db), m_options.keepMs, m_options.maxBytes);
    if (!m_writer->Sort()) {
        error = m_options.file + " cannot be written: " + m_writer->Failure();
        return false;
    }
    m_lastSort = std::chrono::steady_clock::now();
    return true;
}

bool RecordKeeper::Take(const std::vector<std::string>& messages, bool stopping)
{
    if (!messages.empty() && !m_writer->Write(messages))
        return false;
    const auto now = std::chrono::steady_clock::now();
    const bool sortDue = stopping || now - m_lastSort >= m_options.sortInterval || m_writer->UnsortedBytes() >= RecordWriter::kSortBytes;
    if (sortDue) {
        m_lastSort = now;
        if (!m_writer->Sort())
            return false;
    }
    if (stopping)
        return m_writer->GiveBackFreePages();
    // A step per hand-over while chunks are due, else a look after each sort.
    if (!m_pruneMore && !sortDue)
        return true;
    return m_writer->Prune(UtcNowMs(), m_pruneMore);
}

std::chrono::milliseconds RecordKeeper::IdleWait() const
{
    return m_pruneMore ? kPruneStepWait : std::max(kPruneStepWait, m_options.sortInterval);
}

std::string RecordKeeper::Failure() const
{
    return m_options.file + ": " + (m_writer ? m_writer->Failure() : std::string("not open"));
}

} // namespace pontivo
