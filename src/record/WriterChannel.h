#pragma once

#include "record/RecordOptions.h"

#include <cstddef>
#include <memory>
#include <string>

namespace pontivo {

// Carries the loop's messages to a RecordKeeper. Where there is fork(), the keeper runs in a process of its
// own: the loop's process keeps a single thread, and the C library's locking stays on its cheap path.
class WriterChannel {
public:
    virtual ~WriterChannel() = default;

    // Starts the keeper and waits until it has opened the file: false with the reason when it could not.
    virtual bool Start(std::string& error) = 0;
    // Never waits on the keeper.
    virtual void Send(std::string message) = 0;
    // Moves on what was sent earlier and could not go yet; the bytes the keeper has not taken.
    virtual std::size_t Backlog() = 0;
    // Empty while the keeper writes; why it stopped ("FILE: reason") once it has.
    virtual std::string Stopped() = 0;
    // Waits until the keeper has written everything sent, sorted it and stopped.
    virtual void Finish() = 0;

    // The process where there is one; the file must have no SQLite connection open in this process then.
    static std::unique_ptr<WriterChannel> Make(const RecordOptions& options);
};

} // namespace pontivo
