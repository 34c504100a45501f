#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace pontivo {

// The number a settings text begins with (leading blanks, sign, digits, decimals);
// 0 when it begins with none. "8085abc" -> 8085, "abc" -> 0, " 12.5" -> 12.5.
double LeadingNumber(std::string_view text);

// The HTTP port a text gives: its leading number rounded to a whole number, which
// must lie in 1..65535. Anything else is refused rather than letting the system pick.
std::optional<std::uint16_t> HttpPortFromText(std::string_view text);

// The serial port number a text gives, as a 16-bit signed value; none on overflow.
std::optional<std::int16_t> CommPortFromText(std::string_view text);

} // namespace pontivo
