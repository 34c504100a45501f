#include "store/BoardRestore.h"

#include "store/VariableStore.h"

#include <algorithm>

namespace pontivo {

BoardRestore::BoardRestore(const VariableStore& store)
    : m_store(store)
{
}

void BoardRestore::ClientSet(std::string_view name)
{
    if (IsHello(name))
        return;
    if (const Variable* variable = m_store.Find(name))
        m_claims[variable->name] = Claim{variable->value, State::Sent};
}

void BoardRestore::BoardBack()
{
    for (auto& [name, claim] : m_claims)
        if (claim.state == State::Confirmed)
            claim.state = State::Sent;
}

std::int64_t BoardRestore::WaitMs(std::int64_t nowMs) const
{
    if (!m_lastRestoreMs)
        return 0;
    return std::max<std::int64_t>(0, *m_lastRestoreMs + kMinIntervalMs - nowMs);
}

std::vector<BoardRestore::Line> BoardRestore::Restore(std::int64_t nowMs)
{
    std::erase_if(m_claims, [](const auto& entry) { return entry.second.state == State::Told; });
    std::vector<Line> lines;
    if (m_claims.empty())
        return lines;
    m_store.ForEach([this, &lines](const std::string& name, const std::string&) {
        const auto found = m_claims.find(name);
        if (found == m_claims.end())
            return;
        found->second.state = State::Told;
        lines.push_back({name, found->second.value});
    });
    if (!lines.empty())
        m_lastRestoreMs = nowMs;
    return lines;
}

// A client's set renews its claim right after its write (ClientSet).
void BoardRestore::VariableSet(const Variable& variable)
{
    const auto found = m_claims.find(variable.name);
    if (found == m_claims.end())
        return;
    Claim& claim = found->second;
    if (variable.source == WriteSource::Board && variable.value == claim.value)
        claim.state = State::Confirmed;
    else if (variable.source != WriteSource::Board || claim.state == State::Confirmed)
        m_claims.erase(found);
}

void BoardRestore::VariableUnset(std::string_view name)
{
    m_claims.erase(std::string(name));
}

void BoardRestore::StoreReset()
{
    m_claims.clear();
}

} // namespace pontivo
