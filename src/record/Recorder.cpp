#include "Recorder.h"

#include "RecordingFile.h"

#include <utility>

namespace pontivo {

Recorder::Recorder(VariableStore& store, RecordOptions options, Notice notice)
    : m_store(store)
    , m_options(std::move(options))
    , m_notice(std::move(notice))
{
}

Recorder::~Recorder()
{
    if (m_listening)
        m_store.RemoveListener(*this);
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    if (m_thread.joinable())
        m_thread.join();
    if (m_dropped > 0)
        m_notice("recording: " + std::to_string(m_dropped) + " writes were dropped because the disk could not keep up");
}

bool Recorder::Start(std::string& error)
{
    SqliteConnection db = RecordingFile::Open(m_options.file, true, error);
    if (!db.Valid())
        return false;
    // What a killed process left unsorted first: a restore reads sorted values.
    m_writer = std::make_unique<RecordWriter>(std::move(db), m_options.keepMs, m_options.maxBytes);
    if (!m_writer->Sort()) {
        error = m_options.file + " cannot be written: " + m_writer->Failure();
        return false;
    }
    m_lastSort = std::chrono::steady_clock::now();
    m_reader = std::make_unique<RecordingReader>(m_options.file, error);
    if (!m_reader->Valid()) {
        m_reader.reset();
        return false;
    }
    if (m_options.restore)
        Restore();
    m_store.AddListener(*this);
    m_listening = true;
    m_thread = std::thread(&Recorder::WriterLoop, this);
    return true;
}

void Recorder::Restore()
{
    // Not recorded again: the recording holds these writes already.
    std::string error;
    const bool read = m_reader->LastValues(
        [this](const Variable& variable) {
            const VariableStore::SourceScope restored(m_store, WriteSource::Restore, variable.updatedMs);
            m_store.SetVariable(variable.name, variable.value);
        },
        error);
    if (!read)
        m_notice("--restore: " + error);
}

void Recorder::LinkChanged(std::string_view state)
{
    Queue({RecordEvent::Kind::Link, UtcNowMs(), std::string(state), {}, WriteSource::Board});
}

std::uint64_t Recorder::Dropped() const
{
    const std::lock_guard lock(m_mutex);
    return m_dropped;
}

void Recorder::VariableSet(std::string_view name, std::string_view value)
{
    const Variable* const written = m_store.Find(name);
    Queue({RecordEvent::Kind::Set, written ? written->updatedMs : UtcNowMs(), std::string(name), std::string(value),
           written ? written->source : WriteSource::Http});
}

void Recorder::VariableUnset(std::string_view name)
{
    Queue({RecordEvent::Kind::Unset, UtcNowMs(), std::string(name), {}, WriteSource::Http});
}

void Recorder::StoreReset()
{
    Queue({RecordEvent::Kind::Reset, UtcNowMs(), {}, {}, WriteSource::Http});
}

void Recorder::Queue(RecordEvent event)
{
    const std::size_t cost = event.name.size() + event.value.size() + kEventOverhead;
    bool firstDrop = false;
    {
        const std::lock_guard lock(m_mutex);
        if (m_failed)
            return;
        if (m_queueBytes + cost > kQueueBytes) {
            firstDrop = m_dropped++ == 0;
        } else {
            m_queueBytes += cost;
            m_queue.push_back(std::move(event));
        }
    }
    if (firstDrop)
        m_notice("recording falls behind: the disk is too slow for " + m_options.file +
                 "; writes are dropped while it catches up (the count is said at exit)");
}

void Recorder::WriterLoop()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait_for(lock, kBatchInterval, [this] { return m_stopping; });
        std::vector<RecordEvent> batch;
        batch.swap(m_queue);
        m_queueBytes = 0;
        const bool stopping = m_stopping;
        lock.unlock();
        const bool written = WriteAndPrune(batch, stopping);
        lock.lock();
        if (!written) {
            m_failed = true;
            m_queue.clear();
            m_queueBytes = 0;
            lock.unlock();
            m_notice("recording is off: " + m_options.file + ": " + m_writer->Failure());
            return;
        }
        if (stopping && m_queue.empty())
            return;
    }
}

bool Recorder::WriteAndPrune(const std::vector<RecordEvent>& batch, bool stopping)
{
    if (!batch.empty() && !m_writer->Write(batch))
        return false;
    const auto now = std::chrono::steady_clock::now();
    const bool sortDue = stopping || now - m_lastSort >= m_options.sortInterval || m_writer->UnsortedBytes() >= RecordWriter::kSortBytes;
    if (sortDue) {
        m_lastSort = now;
        if (!m_writer->Sort())
            return false;
    }
    // A step per batch while chunks are due, else a look after each sort.
    if (stopping || (!m_pruneMore && !sortDue))
        return true;
    return m_writer->Prune(UtcNowMs(), m_pruneMore);
}

} // namespace pontivo
