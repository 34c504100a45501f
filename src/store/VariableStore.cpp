#include "VariableStore.h"

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

void VariableStore::SetItem(std::string_view name, std::string value)
{
    m_index.find(name)->second->second = std::move(value);
}

void VariableStore::Add(std::string name, std::string value)
{
    m_entries.emplace_back(std::move(name), std::move(value));
    const auto last = std::prev(m_entries.end());
    // The key is a copy because the index must not dangle while the entry is erased.
    m_index.emplace(last->first, last);
}

void VariableStore::Remove(std::string_view name)
{
    const auto found = m_index.find(name);
    if (found == m_index.end())
        return;
    const auto entry = found->second;
    m_index.erase(found);
    m_entries.erase(entry);
}

void VariableStore::RemoveAll()
{
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
    if (found != m_index.end())
        found->second->second = std::move(value);
    else
        Add(std::string(name), std::move(value));
}

void VariableStore::ForEach(
    const std::function<void(const std::string& name, const std::string& value)>& visit) const
{
    for (const auto& [name, value] : m_entries)
        visit(name, value);
}

} // namespace pontivo
