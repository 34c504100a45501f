#include "record/Recorder.h"

#include "record/RecordingFile.h"

#include <filesystem>
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
    // Closed first: the writer's connection, closing last, folds the log into the file.
    m_reader.reset();
    if (m_writer) {
        // What was queued is written before the thread ends; a failure then is still said.
        m_writer->Stop();
        Check();
    }
    if (m_dropped > 0)
        m_notice("recording: " + std::to_string(m_dropped) + " writes were dropped because the disk could not keep up");
}

bool Recorder::Start(std::string& error)
{
    std::string converted;
    SqliteConnection db = RecordingFile::OpenWriter(m_options.file, error, converted);
    if (!db.Valid())
        return false;
    if (!converted.empty())
        m_notice(converted);
    auto writer = std::make_unique<RecordWriter>(std::move(db), m_options.keepMs, m_options.maxBytes);
    if (!writer->Prepared()) {
        error = m_options.file + " cannot be written: a statement on it cannot be prepared";
        return false;
    }
    m_reader = std::make_unique<RecordingReader>(m_options.file, error);
    if (!m_reader->Valid()) {
        m_reader.reset();
        return false;
    }
    if (m_options.restore)
        Restore();
    m_writer = std::make_unique<WriterThread>(std::move(writer), m_options.pruneInterval, m_options.commitInterval);
    m_store.AddListener(*this);
    m_listening = true;
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

std::uint64_t Recorder::FileBytes() const
{
    std::uint64_t bytes = 0;
    for (const std::string& path : {m_options.file, m_options.file + "-wal"}) {
        std::error_code error;
        const std::uintmax_t size = std::filesystem::file_size(path, error);
        bytes += error ? 0 : size;
    }
    return bytes;
}

void Recorder::Check()
{
    if (!m_writer || m_stopped)
        return;
    if (const std::string why = m_writer->Failure(); !why.empty()) {
        m_stopped = true;
        m_notice("recording is off: " + m_options.file + ": " + why);
    }
}

void Recorder::VariableSet(const Variable& variable)
{
    Queue({RecordEvent::Kind::Set, variable.updatedMs, variable.name, variable.value, variable.source});
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
    if (!m_writer || m_writer->Queue(std::move(event)) != WriterThread::Queued::Full)
        return;
    if (m_dropped++ == 0)
        m_notice("recording falls behind: the disk is too slow for " + m_options.file +
                 "; writes are dropped while it catches up (the count is said at exit)");
}

} // namespace pontivo
