#include "BoardRestore.h"

#include "VariableStore.h"

namespace pontivo {

BoardRestore::BoardRestore(const VariableStore& store)
    : m_store(store)
{
}

void BoardRestore::ClientSet(std::string_view name)
{
    if (m_store.Exists(name))
        m_pending.emplace(name);
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

// Every write ends the claim; a client's set renews it right after (ClientSet).
void BoardRestore::VariableSet(std::string_view name, std::string_view /*value*/)
{
    if (!m_pending.empty())
        m_pending.erase(std::string(name));
}

void BoardRestore::VariableUnset(std::string_view name)
{
    VariableSet(name, {});
}

void BoardRestore::StoreReset()
{
    m_pending.clear();
}

} // namespace pontivo
