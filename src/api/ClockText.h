#pragma once

#include <string>
#include <string_view>

namespace pontivo {

// Seconds since local midnight as text: single precision, at most seven significant
// digits, no exponent, no trailing zeros, the locale's decimal separator.
std::string ClockText(float seconds, std::string_view decimalSeparator);

} // namespace pontivo
