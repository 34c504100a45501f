#include "record/Recorder.h"

#include "record/RecordWriter.h"

#include <utility>

namespace pontivo {
namespace {

// Packed bytes of one event besides its name and value, at most.
constexpr std::size_t kEventOverhead = 24;

} // namespace

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
        Flush();
        m_writer->Finish();
        Flush();
    }
    if (m_dropped > 0)
        m_notice("recording: " + std::to_string(m_dropped) + " writes were dropped because the disk could not keep up");
}

bool Recorder::Start(std::string& error)
{
    m_writer = WriterChannel::Make(m_options);
    if (!m_writer->Start(error)) {
        m_writer.reset();
        return false;
    }
    m_reader = std::make_unique<RecordingReader>(m_options.file, error);
    if (!m_reader->Valid()) {
        m_reader.reset();
        m_writer.reset();
        return false;
    }
    if (m_options.restore)
        Restore();
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
    if (!m_writer || m_stopped || !Room(state.size() + kEventOverhead))
        return;
    m_writer->Send(LinkMessage(UtcNowMs(), state));
}

void Recorder::Flush()
{
    if (!m_writer || m_stopped)
        return;
    if (m_packer.Count() > 0)
        m_writer->Send(m_packer.Take());
    m_backlog = m_writer->Backlog();
    if (const std::string why = m_writer->Stopped(); !why.empty()) {
        m_stopped = true;
        m_notice("recording is off: " + why);
    }
}

void Recorder::VariableSet(const Variable& variable)
{
    Add(RecordEvent::Kind::Set, variable.updatedMs, variable.source, variable.name, variable.value);
}

void Recorder::VariableUnset(std::string_view name)
{
    Add(RecordEvent::Kind::Unset, UtcNowMs(), WriteSource::Http, name, {});
}

void Recorder::StoreReset()
{
    Add(RecordEvent::Kind::Reset, UtcNowMs(), WriteSource::Http, {}, {});
}

void Recorder::Add(RecordEvent::Kind kind, std::int64_t timeMs, WriteSource source, std::string_view name, std::string_view value)
{
    if (m_stopped || !Room(name.size() + value.size() + kEventOverhead))
        return;
    m_packer.Add(kind, timeMs, source, name, value);
    if (m_packer.Count() == RecordWriter::kBatchEvents || m_packer.Bytes() >= kHandOverBytes)
        Flush();
}

bool Recorder::Room(std::size_t bytes)
{
    if (m_packer.Bytes() + m_backlog + bytes <= kQueueBytes)
        return true;
    if (m_dropped++ == 0)
        m_notice("recording falls behind: the disk is too slow for " + m_options.file +
                 "; writes are dropped while it catches up (the count is said at exit)");
    return false;
}

} // namespace pontivo
