#pragma once

#include "ChangeListener.h"
#include "RecordEvent.h"
#include "RecordOptions.h"
#include "RecordWriter.h"
#include "RecordingReader.h"
#include "VariableStore.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pontivo {

// Records every change to the store and every link change: the loop only queues, a thread of its own
// writes a batch per transaction and prunes. A queue the disk cannot keep up with drops, never grows.
class Recorder : public ChangeListener {
public:
    // Told on the loop's thread or the writer's.
    using Notice = std::function<void(const std::string& text)>;
    // Bytes of names and values (plus kEventOverhead each) the writer may fall behind by.
    static constexpr std::size_t kQueueBytes = std::size_t{32} << 20;
    static constexpr std::size_t kEventOverhead = 64;
    // A kill loses at most this much (plus the time one batch takes).
    static constexpr std::chrono::milliseconds kBatchInterval{500};

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
    std::uint64_t Dropped() const;

    void VariableSet(std::string_view name, std::string_view value) override;
    void VariableUnset(std::string_view name) override;
    void StoreReset() override;

private:
    void Restore();
    void Queue(RecordEvent event);
    void WriterLoop();
    bool WriteAndPrune(const std::vector<RecordEvent>& batch, bool stopping);

    VariableStore& m_store;
    const RecordOptions m_options;
    const Notice m_notice;
    std::unique_ptr<RecordWriter> m_writer;
    std::unique_ptr<RecordingReader> m_reader;
    bool m_listening = false;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::vector<RecordEvent> m_queue;
    std::size_t m_queueBytes = 0;
    bool m_stopping = false;
    bool m_failed = false; // the writer gave up: nothing more is queued
    std::uint64_t m_dropped = 0;
    bool m_pruneMore = true;
    std::chrono::steady_clock::time_point m_lastSort;
    std::thread m_thread; // last: joined before anything it uses goes
};

} // namespace pontivo
