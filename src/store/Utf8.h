#pragma once

#include <string_view>

namespace pontivo {

// Well-formed UTF-8: no stray or missing continuation bytes, no overlong forms, no surrogates, nothing
// past U+10FFFF. Names and values are bytes; this says whether other tools may take them as text.
bool IsValidUtf8(std::string_view bytes);

} // namespace pontivo
