#include "store/VariableStore.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace pontivo {
std::int64_t UtcNowMs()
{
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
}

VariableStore::SourceScope::SourceScope(VariableStore& store, WriteSource source, std::optional<std::int64_t> atMs)
    : m_store(store)
    , m_source(store.m_source)
    , m_atMs(store.m_atMs)
{
    store.m_source = source;
    store.m_atMs = atMs;
}

VariableStore::SourceScope::~SourceScope()
{
    m_store.m_source = m_source;
    m_store.m_atMs = m_atMs;
}

VariableStore::VariableStore(Clock clock)
    : m_clock(clock ? std::move(clock) : Clock(UtcNowMs))
{
}

bool VariableStore::Exists(std::string_view name) const
{
    return m_index.find(name) != m_index.end();
}

const std::string& VariableStore::Item(std::string_view name) const
{
    return m_index.find(name)->second->value;
}

const Variable* VariableStore::Find(std::string_view name) const
{
    const auto found = m_index.find(name);
    return found == m_index.end() ? nullptr : &*found->second;
}

bool VariableStore::Add(std::string name, std::string value)
{
    const std::size_t cost = name.size() + value.size() + kEntryOverhead;
    if (m_sizeBytes + cost > m_capacity) {
        if (m_onRefused)
            m_onRefused(name);
        return false;
    }
    m_sizeBytes += cost;
    m_entries.push_back(Variable{std::move(name), std::move(value)});
    m_entries.back().order = ++m_added;
    const auto last = std::prev(m_entries.end());
    Stamp(*last);
    // The key is a copy because the index must not dangle while the entry is erased.
    m_index.emplace(last->name, last);
    ToldSet(*last);
    return true;
}

bool VariableStore::Remove(std::string_view name)
{
    const auto found = m_index.find(name);
    if (found == m_index.end())
        return false;
    for (ChangeListener* listener : m_listeners)
        listener->VariableUnset(name);
    const auto entry = found->second;
    m_sizeBytes -= entry->name.size() + entry->value.size() + kEntryOverhead;
    m_index.erase(found);
    m_entries.erase(entry);
    return true;
}

void VariableStore::RemoveAll()
{
    for (ChangeListener* listener : m_listeners)
        listener->StoreReset();
    m_index.clear();
    m_entries.clear();
    m_sizeBytes = 0;
}

std::vector<std::string> VariableStore::Keys() const
{
    std::vector<std::string> keys;
    keys.reserve(m_entries.size());
    for (const Variable& variable : m_entries)
        keys.push_back(variable.name);
    return keys;
}

std::size_t VariableStore::Count() const
{
    return m_entries.size();
}

bool VariableStore::SetVariable(std::string_view name, std::string value)
{
    const auto found = m_index.find(name);
    if (found == m_index.end())
        return Add(std::string(name), std::move(value));
    Variable& variable = *found->second;
    m_sizeBytes = m_sizeBytes - variable.value.size() + value.size();
    variable.value = std::move(value);
    Stamp(variable);
    ToldSet(variable);
    return true;
}

void VariableStore::ForEach(
    const std::function<void(const std::string& name, const std::string& value)>& visit) const
{
    for (const Variable& variable : m_entries)
        visit(variable.name, variable.value);
}

void VariableStore::ForEachVariable(const std::function<void(const Variable&)>& visit) const
{
    for (const Variable& variable : m_entries)
        visit(variable);
}

bool VariableStore::ForEachAfter(Place& place, const std::function<bool(const Variable&)>& visit) const
{
    auto entry = m_entries.begin();
    const auto found = m_index.find(place.name);
    if (place.order != 0 && found != m_index.end() && found->second->order == place.order) {
        entry = std::next(found->second);
    } else if (place.order != 0) {
        // Gone since: the entries keep their order numbers ascending, so the walk goes on after it.
        entry = std::find_if(m_entries.begin(), m_entries.end(), [&](const Variable& v) { return v.order > place.order; });
    }
    for (; entry != m_entries.end(); ++entry) {
        place = {entry->name, entry->order};
        if (!visit(*entry))
            return std::next(entry) == m_entries.end();
    }
    return true;
}

void VariableStore::AddListener(ChangeListener& listener)
{
    m_listeners.push_back(&listener);
}

void VariableStore::RemoveListener(const ChangeListener& listener)
{
    m_listeners.erase(std::remove(m_listeners.begin(), m_listeners.end(), &listener), m_listeners.end());
}

void VariableStore::ToldSet(const Variable& variable) const
{
    for (ChangeListener* listener : m_listeners)
        listener->VariableSet(variable);
}

void VariableStore::Stamp(Variable& variable) const
{
    variable.updatedMs = m_atMs ? *m_atMs : m_clock();
    variable.source = m_source;
}

} // namespace pontivo
