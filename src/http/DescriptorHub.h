#pragma once

namespace pontivo {

// Told which of its descriptors are ready.
class ReadyClient {
public:
    virtual void OnReady(int descriptor, bool readable, bool writable) = 0;

protected:
    ~ReadyClient() = default;
};

// An event loop that watches plain descriptors in its own wait, without a notifier object
// for each: connections then cost one wait per wake instead of a nested one.
class DescriptorHub {
public:
    // Starts (`added`) or changes watching; a hang-up or an error counts as both readable
    // and writable.
    virtual void WatchDescriptor(int descriptor, bool read, bool write, bool added, ReadyClient& client) = 0;
    // Before the descriptor is closed (`closing`: the close itself takes it out) or handed on.
    virtual void ForgetDescriptor(int descriptor, bool closing) = 0;

protected:
    ~DescriptorHub() = default;
};

} // namespace pontivo
