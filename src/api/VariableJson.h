#pragma once

#include "store/VariableStore.h"

#include <nlohmann/json.hpp>

#include <string>

namespace pontivo {

// A variable as the JSON API writes it: name, value (each with `_base64` beside it when not UTF-8),
// updated, updated_ms, source.
nlohmann::json VariableObject(const Variable& variable);

// Appends variables' objects to one text, comma-separated, each written by the JSON library's dump(). For
// the common case (name and value in ASCII, so no `_base64` keys) one object is kept from variable to
// variable, its strings assigned in place: a new object for each costs twice as much in a long listing,
// and a tree of the whole listing three times as much (100,000 objects allocated and freed).
class VariableListWriter {
public:
    VariableListWriter();
    // The text may differ from call to call: a long listing goes out in slices.
    void Append(std::string& text, const Variable& variable);

private:
    nlohmann::json m_object;
    // Its members, which keep their places as they are assigned.
    std::string& m_name;
    std::string& m_value;
    std::string& m_updated;
    nlohmann::json& m_updatedMs;
    std::string& m_source;
    bool m_first = true;
};

} // namespace pontivo
