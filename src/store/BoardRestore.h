#pragma once

#include "store/ChangeListener.h"

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace pontivo {

class VariableStore;

// Which variables a board that comes back (reopened port, reset) should be told again: those whose
// last write was a client's set (a line meant for the board) and that the board has not changed
// itself since. A board frame with the value set confirms it (boards echo what they applied); a frame
// with another value ends the claim only once confirmed, so the boot state a restarting board reports
// before it reads the restored line does not. Bounded by the store: a name leaves when it is removed.
class BoardRestore : public ChangeListener {
public:
    explicit BoardRestore(const VariableStore& store);

    // A client's set of `name` (URL, JSON API, broker), told after the store took the value.
    void ClientSet(std::string_view name);
    // The names to write again, in store order.
    std::vector<std::string> Pending() const;
    // The pending lines were written again: each waits for the board's confirmation anew.
    void Restored();

    void VariableSet(const Variable& variable) override;
    void VariableUnset(std::string_view name) override;
    void StoreReset() override;

private:
    const VariableStore& m_store;
    struct Claim {
        std::string value;
        bool confirmed = false;
    };
    std::unordered_map<std::string, Claim> m_pending;
};

} // namespace pontivo
