#pragma once

#include "store/ChangeListener.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace pontivo {

class VariableStore;

// Which variables a board that comes back (reopened port, hello frame) should be told again: those whose
// last write was a client's set (a line meant for the board) and that the board has not changed itself
// since, each with the value the client set. A board frame with that value confirms it (boards echo what
// they applied); a frame with another value ends the claim only once confirmed, so the boot state a
// restarting board reports before it reads the restored line does not. A claim told and still unconfirmed
// at the next restore is dropped: the board ignores it or restarts on it, and must not be told forever.
// Bounded by the store: a name leaves when it is removed.
class BoardRestore : public ChangeListener {
public:
    struct Line {
        std::string name;
        std::string value;
    };
    static constexpr std::int64_t kMinIntervalMs = 1000;

    explicit BoardRestore(const VariableStore& store);

    // The board's hello frame: never a claim, or each restore would set off the next.
    void SetHello(std::string name) { m_hello = std::move(name); }
    bool IsHello(std::string_view name) const { return !m_hello.empty() && name == m_hello; }

    // A client's set of `name` (URL, JSON API, broker), told after the store took the value.
    void ClientSet(std::string_view name);
    // The board is back (hello, reopened port): the boot state it reports before the restore reaches it
    // ends no claim, even a confirmed one.
    void BoardBack();
    // How long until the next restore may run (at most one a second); 0: now. Monotonic milliseconds.
    std::int64_t WaitMs(std::int64_t nowMs) const;
    // A restore at `nowMs`: the lines to write again, in store order. One that writes nothing does not
    // count towards the interval.
    std::vector<Line> Restore(std::int64_t nowMs);

    void VariableSet(const Variable& variable) override;
    void VariableUnset(std::string_view name) override;
    void StoreReset() override;

private:
    enum class State { Sent, Confirmed, Told };
    struct Claim {
        std::string value;
        State state = State::Sent;
    };
    const VariableStore& m_store;
    std::string m_hello;
    std::optional<std::int64_t> m_lastRestoreMs;
    std::unordered_map<std::string, Claim> m_claims;
};

} // namespace pontivo
