#pragma once

#include <optional>
#include <string_view>

namespace pontivo {

// How the board writes its values: {name=value} frames, plotter lines ("temp:21.5,hum:40" or
// "21.5 40"), JSON objects one a line, or whichever of these each line looks like.
enum class FrameFormat { Braces, Lines, Json, Auto };

// "braces", "lines", "json" or "auto"; none for anything else.
std::optional<FrameFormat> FrameFormatFromText(std::string_view text);

} // namespace pontivo
