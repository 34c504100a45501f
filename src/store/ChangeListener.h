#pragma once

#include "store/Variable.h"

#include <string_view>

namespace pontivo {

// Told of every change to the store, whoever made it (a URL command, a board frame, the
// window). A listener never changes the store while being told; it queues what it sends.
class ChangeListener {
public:
    virtual ~ChangeListener() = default;
    // After the write, with its stamp; also for a write of the value the variable already had.
    virtual void VariableSet(const Variable& variable) = 0;
    // Before the variable goes; only for a name that was there.
    virtual void VariableUnset(std::string_view name) = 0;
    // Before every variable goes, so the listener can still walk them; also on an empty store.
    virtual void StoreReset() = 0;
};

} // namespace pontivo
