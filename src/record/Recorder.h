#pragma once

#include "store/ChangeListener.h"
#include "record/RecordCodec.h"
#include "record/RecordOptions.h"
#include "record/RecordingReader.h"
#include "store/VariableStore.h"
#include "record/WriterChannel.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace pontivo {

// Records every change to the store and every link change. The loop only packs them; each Flush() hands
// the packed batch to the writer (a WriterChannel), which writes it in one transaction, sorts and prunes.
// A writer the disk cannot keep up with makes the loop drop writes, never grow.
class Recorder : public ChangeListener {
public:
    // Told on the loop's thread.
    using Notice = std::function<void(const std::string& text)>;
    // Packed bytes the writer may fall behind by.
    static constexpr std::size_t kQueueBytes = std::size_t{32} << 20;
    // How often the loop calls Flush(): a kill loses at most this much (plus the time one batch takes).
    static constexpr std::chrono::milliseconds kBatchInterval{500};
    // Packed bytes past which a batch is handed over at once.
    static constexpr std::size_t kHandOverBytes = std::size_t{1} << 20;

    Recorder(VariableStore& store, RecordOptions options, Notice notice);
    ~Recorder() override;
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Opens (or creates) the file, fills the store from it when asked to restore, and records from
    // then on. False, with a one-line reason, when the file cannot be used: nothing is recorded.
    bool Start(std::string& error);
    // Null until started.
    const HistorySource* History() const { return m_reader.get(); }
    void LinkChanged(std::string_view state);
    // Hands what was recorded since the last call to the writer, and says once if the writer stopped.
    void Flush();
    std::uint64_t Dropped() const { return m_dropped; }

    void VariableSet(const Variable& variable) override;
    void VariableUnset(std::string_view name) override;
    void StoreReset() override;

private:
    void Restore();
    void Add(RecordEvent::Kind kind, std::int64_t timeMs, WriteSource source, std::string_view name, std::string_view value);
    bool Room(std::size_t bytes);

    // What each write touches comes first: the loop meets it with cold caches, a frame at a time.
    BatchPacker m_packer;
    std::size_t m_backlog = 0; // the writer's, at the last hand-over
    bool m_stopped = false; // the writer gave up: nothing more is recorded
    bool m_listening = false;
    std::uint64_t m_dropped = 0;
    VariableStore& m_store;
    std::unique_ptr<WriterChannel> m_writer;
    std::unique_ptr<RecordingReader> m_reader;
    const RecordOptions m_options;
    const Notice m_notice;
};

} // namespace pontivo
