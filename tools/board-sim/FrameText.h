#pragma once

#include "serial/FrameFormat.h"

#include <string>
#include <string_view>

namespace pontivo {

// One value as a board printing in `format` sends it, with the line end a sketch's println adds:
// "{name=value}", "name:value", or {"name":value} (a plain number bare, anything else a string).
std::string FrameText(FrameFormat format, std::string_view name, std::string_view value);

} // namespace pontivo
