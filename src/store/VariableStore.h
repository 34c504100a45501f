#pragma once

#include "store/ChangeListener.h"
#include "store/TransparentHash.h"
#include "store/Variable.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace pontivo {

// Milliseconds since 1970, UTC: the clock of the stamps and of the recording.
std::int64_t UtcNowMs();

// Named text variables in order of first addition. Names are exact byte strings:
// no case folding, no trimming; the empty name is a name like any other.
class VariableStore {
public:
    using Clock = std::function<std::int64_t()>;
    using RefusalHandler = std::function<void(std::string_view name)>;
    // Bytes a variable costs beyond its name and value, for the size limit.
    static constexpr std::size_t kEntryOverhead = 128;
    static constexpr std::size_t kDefaultCapacity = std::size_t{64} << 20;

    // Writes made while a scope lives are stamped with its source (and its time, when given:
    // a restored value keeps the time it was first written). Scopes nest.
    class SourceScope {
    public:
        SourceScope(VariableStore& store, WriteSource source, std::optional<std::int64_t> atMs = std::nullopt);
        ~SourceScope();
        SourceScope(const SourceScope&) = delete;
        SourceScope& operator=(const SourceScope&) = delete;

    private:
        VariableStore& m_store;
        WriteSource m_source;
        std::optional<std::int64_t> m_atMs;
    };

    explicit VariableStore(Clock clock = {});

    bool Exists(std::string_view name) const;
    // Precondition: Exists(name).
    const std::string& Item(std::string_view name) const;
    // Null when absent; valid until the variable goes.
    const Variable* Find(std::string_view name) const;
    // Precondition: !Exists(name). Appends at the end; false (nothing stored) when the store is full.
    bool Add(std::string name, std::string value);
    // Does nothing (false) when the name is absent.
    bool Remove(std::string_view name);
    void RemoveAll();
    // A copy of the names in store order; later changes do not alter it.
    std::vector<std::string> Keys() const;
    std::size_t Count() const;

    // Replace in place when the name exists, else append. False only for a new name refused
    // because the store is full; an existing name always takes its new value.
    bool SetVariable(std::string_view name, std::string value);

    // Walks the variables in store order; the callback must not change the store.
    void ForEach(const std::function<void(const std::string& name, const std::string& value)>& visit) const;
    void ForEachVariable(const std::function<void(const Variable&)>& visit) const;
    // Where a walk in slices stands: after the variable of this name and place (at the start when 0).
    struct Place {
        std::string name;
        std::uint64_t order = 0;
    };
    // Walks on from `place` in store order while `visit` returns true, moving `place` to each variable
    // visited; true once it has passed the last. The store may change between calls: a variable added
    // since comes at the end, and the removal of the one at `place` loses nothing.
    bool ForEachAfter(Place& place, const std::function<bool(const Variable&)>& visit) const;

    // New names are refused once names, values and kEntryOverhead per variable reach this many bytes.
    void SetCapacity(std::size_t bytes) { m_capacity = bytes; }
    std::size_t Capacity() const { return m_capacity; }
    std::size_t SizeBytes() const { return m_sizeBytes; }
    // Told of each refused name, after the refusal.
    void SetRefusalHandler(RefusalHandler handler) { m_onRefused = std::move(handler); }

    // Every change from now on is told to the listener, which must outlive its registration.
    void AddListener(ChangeListener& listener);
    void RemoveListener(const ChangeListener& listener);

private:
    void ToldSet(const Variable& variable) const;
    void Stamp(Variable& variable) const;

    std::list<Variable> m_entries;
    std::unordered_map<std::string, std::list<Variable>::iterator, TransparentHash, std::equal_to<>> m_index;
    std::vector<ChangeListener*> m_listeners;
    Clock m_clock;
    WriteSource m_source = WriteSource::Http;
    std::optional<std::int64_t> m_atMs;
    std::size_t m_capacity = kDefaultCapacity;
    std::size_t m_sizeBytes = 0;
    std::uint64_t m_added = 0;
    RefusalHandler m_onRefused;
};

} // namespace pontivo
