#include "api/ClockText.h"

#include <charconv>
#include <cstdlib>

namespace pontivo {

std::string ClockText(float seconds, std::string_view decimalSeparator)
{
    if (seconds == 0.0f)
        return "0";
    // Scientific form with six decimals gives exactly seven correctly rounded digits.
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, seconds, std::chars_format::scientific, 6);
    const std::string_view sci(buffer, static_cast<std::size_t>(result.ptr - buffer));
    const bool negative = sci.front() == '-';
    const std::string_view unsigned_ = negative ? sci.substr(1) : sci;
    const auto ePos = unsigned_.find('e');
    std::string digits;
    for (const char c : unsigned_.substr(0, ePos)) {
        if (c != '.')
            digits.push_back(c);
    }
    const int exponent = std::atoi(std::string(unsigned_.substr(ePos + 1)).c_str());

    std::string integerPart;
    std::string fraction;
    if (exponent < 0) {
        integerPart = "0";
        fraction = std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
    } else {
        const auto integerDigits = static_cast<std::size_t>(exponent) + 1;
        if (integerDigits >= digits.size()) {
            integerPart = digits + std::string(integerDigits - digits.size(), '0');
        } else {
            integerPart = digits.substr(0, integerDigits);
            fraction = digits.substr(integerDigits);
        }
    }
    while (!fraction.empty() && fraction.back() == '0')
        fraction.pop_back();

    std::string text = negative ? "-" : "";
    text += integerPart;
    if (!fraction.empty())
        text.append(decimalSeparator).append(fraction);
    return text;
}

} // namespace pontivo
