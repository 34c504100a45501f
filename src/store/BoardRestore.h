#pragma once

#include "ChangeListener.h"

#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace pontivo {

class VariableStore;

// Which variables a board that comes back (reopened port, reset) should be told again: those whose
// last write was a client's set (a line meant for the board) and that the board has not reported
// itself since. Bounded by the store: a name leaves when it is removed.
class BoardRestore : public ChangeListener {
public:
    explicit BoardRestore(const VariableStore& store);

    // A client's set of `name` (URL, JSON API, broker), told after the store took the value.
    void ClientSet(std::string_view name);
    // The names to write again, in store order.
    std::vector<std::string> Pending() const;

    void VariableSet(std::string_view name, std::string_view value) override;
    void VariableUnset(std::string_view name) override;
    void StoreReset() override;

private:
    const VariableStore& m_store;
    std::unordered_set<std::string> m_pending;
};

} // namespace pontivo
