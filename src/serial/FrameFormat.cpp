#include "serial/FrameFormat.h"

#include <array>
#include <utility>

namespace pontivo {

std::optional<FrameFormat> FrameFormatFromText(std::string_view text)
{
    constexpr std::array<std::pair<std::string_view, FrameFormat>, 4> names{
        {{"braces", FrameFormat::Braces}, {"lines", FrameFormat::Lines}, {"json", FrameFormat::Json},
         {"auto", FrameFormat::Auto}}};
    for (const auto& [name, format] : names)
        if (text == name)
            return format;
    return std::nullopt;
}

} // namespace pontivo
