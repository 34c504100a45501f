#include "VariableStore.h"

#include <algorithm>
#include <utility>

namespace pontivo {

bool VariableStore::Exists(std::string_view name) const
{
    return m_index.find(name) != m_index.end();
}

const std::string& VariableStore::Item(std::string_view name) const
{
    return m_index.find(name)->second->second;
}

void VariableStore::Add(std::string name, std::string value)
{
    m_entries.emplace_back(std::move(name), std::move(value));
    const auto last = std::prev(m_entries.end());
    // The key is a copy because the index must not dangle while the entry is erased.
    m_index.emplace(last->first, last);
    ToldSet(last->first, last->second);
}

void VariableStore::Remove(std::string_view name)
{
    const auto found = m_index.find(name);
    if (found == m_index.end())
        return;
    for (ChangeListener* listener : m_listeners)
        listener->VariableUnset(name);
    const auto entry = found->second;
    m_index.erase(found);
    m_entries.erase(entry);
}

void VariableStore::RemoveAll()
{
    for (ChangeListener* listener : m_listeners)
        listener->StoreReset();
    m_index.clear();
    m_entries.clear();
}

std::vector<std::string> VariableStore::Keys() const
{
    std::vector<std::string> keys;
    keys.reserve(m_entries.size());
    for (const auto& [name, value] : m_entries)
        keys.push_back(name);
    return keys;
}

std::size_t VariableStore::Count() const
{
    return m_entries.size();
}

void VariableStore::SetVariable(std::string_view name, std::string value)
{
    const auto found = m_index.find(name);
    if (found != m_index.end()) {
        found->second->second = std::move(value);
        ToldSet(found->first, found->second->second);
    } else
        Add(std::string(name), std::move(value));
}

void VariableStore::ForEach(
    const std::function<void(const std::string& name, const std::string& value)>& visit) const
{
    for (const auto& [name, value] : m_entries)
        visit(name, value);
}

void VariableStore::AddListener(ChangeListener& listener)
{
    m_listeners.push_back(&listener);
}

void VariableStore::RemoveListener(const ChangeListener& listener)
{
    m_listeners.erase(std::remove(m_listeners.begin(), m_listeners.end(), &listener), m_listeners.end());
}

void VariableStore::ToldSet(std::string_view name, std::string_view value) const
{
    for (ChangeListener* listener : m_listeners)
        listener->VariableSet(name, value);
}

} // namespace pontivo
