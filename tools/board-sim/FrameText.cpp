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
    const std::string text(value);
    switch (format) {
    case FrameFormat::Lines:
        return std::string(name) + ":" + text + "\r\n";
    case FrameFormat::Json:
        return "{" + JsonString(name) + ":" + (IsJsonNumber(value) ? text : JsonString(value)) + "}\r\n";
    case FrameFormat::Braces:
    case FrameFormat::Auto:
        break;
    }
    return "{" + std::string(name) + "=" + text + "}\r\n";
}

} // namespace pontivo
