#pragma once

#include "ChangeListener.h"

#include <cstddef>
#include <functional>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace pontivo {

// Named text variables in order of first addition. Names are exact byte strings:
// no case folding, no trimming; the empty name is a name like any other.
class VariableStore {
public:
    bool Exists(std::string_view name) const;
    // Precondition: Exists(name).
    const std::string& Item(std::string_view name) const;
    // Precondition: !Exists(name). Appends at the end.
    void Add(std::string name, std::string value);
    // Does nothing when the name is absent.
    void Remove(std::string_view name);
    void RemoveAll();
    // A copy of the names in store order; later changes do not alter it.
    std::vector<std::string> Keys() const;
    std::size_t Count() const;

    // Replace in place when the name exists, else append.
    void SetVariable(std::string_view name, std::string value);

    // Walks the variables in store order; the callback must not change the store.
    void ForEach(const std::function<void(const std::string& name, const std::string& value)>& visit) const;

    // Every change from now on is told to the listener, which must outlive its registration.
    void AddListener(ChangeListener& listener);
    void RemoveListener(const ChangeListener& listener);

private:
    void ToldSet(std::string_view name, std::string_view value) const;

    struct TransparentHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
    };
    using Entry = std::pair<std::string, std::string>;
    std::list<Entry> m_entries;
    std::unordered_map<std::string, std::list<Entry>::iterator, TransparentHash, std::equal_to<>> m_index;
    std::vector<ChangeListener*> m_listeners;
};

} // namespace pontivo
