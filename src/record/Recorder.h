#pragma once

#include "record/RecordOptions.h"
#include "record/RecordingReader.h"
#include "record/WriterThread.h"
#include "store/ChangeListener.h"
#include "store/VariableStore.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace pontivo {

// Records every change to the store and every link change: the loop queues them for the writer thread.
// A writer the disk cannot keep up with makes the loop drop writes, never grow.
class Recorder : public ChangeListener {
public:
    // Told on the loop's thread.
    using Notice = std::function<void(const std::string& text)>;
    // How often the loop calls Check().
    static constexpr std::chrono::milliseconds kCheckInterval{500};

    Recorder(VariableStore& store, RecordOptions options, Notice notice);
    ~Recorder() override;
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Opens (or creates, or converts) the file, fills the store from it when asked to restore, and
    // records from then on. False, with a one-line reason, when the file cannot be used: nothing is recorded.
    bool Start(std::string& error);
    // Null until started.
    const HistorySource* History() const { return m_reader.get(); }
    void LinkChanged(std::string_view state);
    // Says once if the writer stopped.
    void Check();
    std::uint64_t Dropped() const { return m_dropped; }
    // Whether writes still reach the file (false once the writer gave up).
    bool Up() const { return m_writer && !m_stopped; }
    // The file and its write-ahead log on disk now.
    std::uint64_t FileBytes() const;

    void VariableSet(const Variable& variable) override;
    void VariableUnset(std::string_view name) override;
    void StoreReset() override;

private:
    void Restore();
    void Queue(RecordEvent event);

    VariableStore& m_store;
    const RecordOptions m_options;
    const Notice m_notice;
    bool m_listening = false;
    bool m_stopped = false; // the writer gave up, and that was said
    std::uint64_t m_dropped = 0;
    std::unique_ptr<RecordingReader> m_reader;
    std::unique_ptr<WriterThread> m_writer;
};

} // namespace pontivo
