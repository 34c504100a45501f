#pragma once

#include "store/VariableStore.h"

#include <nlohmann/json.hpp>

#include <string>

namespace pontivo {

// A variable as the JSON API writes it: name, value (each with `_base64` beside it when not UTF-8),
// updated, updated_ms, source.
nlohmann::json VariableObject(const Variable& variable);

// Appends variables' objects to one text, comma-separated, all written by the JSON library. For the
// common case (name and value in ASCII, so no `_base64` keys) one object and one serializer are kept
// from variable to variable: a new object and dump() each cost three times as much in a long listing.
class VariableListWriter {
public:
    explicit VariableListWriter(std::string& text);
    void Append(const Variable& variable);

private:
    using Serializer = nlohmann::detail::serializer<nlohmann::json>;

    std::string& m_text;
    nlohmann::json m_object;
    // Its members, which keep their places as they are assigned.
    std::string& m_name;
    std::string& m_value;
    std::string& m_updated;
    nlohmann::json& m_updatedMs;
    std::string& m_source;
    Serializer m_serializer;
    bool m_first = true;
};

} // namespace pontivo
