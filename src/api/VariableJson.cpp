#include "api/VariableJson.h"

#include "api/JsonText.h"

#include <algorithm>

namespace pontivo {
namespace {

using json = nlohmann::json;

bool Ascii(std::string_view bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

} // namespace

json VariableObject(const Variable& variable)
{
    json object = json::object();
    PutBytes(object, "name", variable.name);
    PutBytes(object, "value", variable.value);
    object["updated"] = IsoTime(variable.updatedMs);
    object["updated_ms"] = variable.updatedMs;
    object["source"] = std::string(SourceName(variable.source));
    return object;
}

VariableListWriter::VariableListWriter()
    : m_object(VariableObject({}))
    , m_name(m_object["name"].get_ref<std::string&>())
    , m_value(m_object["value"].get_ref<std::string&>())
    , m_updated(m_object["updated"].get_ref<std::string&>())
    , m_updatedMs(m_object["updated_ms"])
    , m_source(m_object["source"].get_ref<std::string&>())
{
}

void VariableListWriter::Append(std::string& text, const Variable& variable)
{
    if (!m_first)
        text += ',';
    m_first = false;
    if (!Ascii(variable.name) || !Ascii(variable.value)) {
        text.append(DumpJson(VariableObject(variable)));
        return;
    }
    // Assigned in place: the object keeps its keys and its strings their buffers.
    m_name.assign(variable.name);
    m_value.assign(variable.value);
    m_updated.assign(IsoTime(variable.updatedMs));
    m_updatedMs = variable.updatedMs;
    m_source.assign(SourceName(variable.source));
    text.append(DumpJson(m_object));
}

} // namespace pontivo
