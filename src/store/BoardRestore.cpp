#include "store/BoardRestore.h"

#include "store/VariableStore.h"

namespace pontivo {

BoardRestore::BoardRestore(const VariableStore& store)
    : m_store(store)
{
}

void BoardRestore::ClientSet(std::string_view name)
{
    if (const Variable* variable = m_store.Find(name))
        m_pending[variable->name] = Claim{variable->value, false};
}

std::vector<std::string> BoardRestore::Pending() const
{
    std::vector<std::string> names;
    if (m_pending.empty())
        return names;
    m_store.ForEach([this, &names](const std::string& name, const std::string&) {
        if (m_pending.count(name) != 0)
            names.push_back(name);
    });
    return names;
}

void BoardRestore::Restored()
{
    for (auto& [name, claim] : m_pending)
        claim.confirmed = false;
}

// A client's set renews its claim right after its write (ClientSet).
void BoardRestore::VariableSet(const Variable& variable)
{
    const auto found = m_pending.find(variable.name);
    if (found == m_pending.end())
        return;
    Claim& claim = found->second;
    if (variable.source == WriteSource::Board && variable.value == claim.value)
        claim.confirmed = true;
    else if (variable.source != WriteSource::Board || claim.confirmed)
        m_pending.erase(found);
}

void BoardRestore::VariableUnset(std::string_view name)
{
    m_pending.erase(std::string(name));
}

void BoardRestore::StoreReset()
{
    m_pending.clear();
}

} // namespace pontivo
