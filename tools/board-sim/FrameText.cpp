#include "FrameText.h"

#include <nlohmann/json.hpp>

namespace pontivo {
namespace {

std::string JsonString(std::string_view text)
{
    // Bytes that are not UTF-8 go out as U+FFFD rather than as a line no reader takes.
    return nlohmann::json(std::string(text)).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// A JSON number as it stands ("+1" and ".5" are not), so it goes out bare.
bool IsJsonNumber(std::string_view text)
{
    return nlohmann::json::parse(text, nullptr, false).is_number();
}

} // namespace

std::string FrameText(FrameFormat format, std::string_view name, std::string_view value)
{
    // Appended piece by piece: gcc 12 at -O2 warns falsely about "literal" + std::string.
    std::string text;
    switch (format) {
    case FrameFormat::Lines:
        text.append(name).append(":").append(value).append("\r\n");
        return text;
    case FrameFormat::Json:
        text.append("{").append(JsonString(name)).append(":");
        text.append(IsJsonNumber(value) ? std::string(value) : JsonString(value)).append("}\r\n");
        return text;
    case FrameFormat::Braces:
    case FrameFormat::Auto:
        break;
    }
    text.append("{").append(name).append("=").append(value).append("}\r\n");
    return text;
}

} // namespace pontivo
