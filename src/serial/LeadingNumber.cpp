#include "serial/LeadingNumber.h"

#include <cmath>
#include <cstddef>

namespace pontivo {
namespace {

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Rounds half to even, as the settings' number conversion always has.
std::optional<double> RoundedWithin(std::string_view text, double low, double high)
{
    const double rounded = std::nearbyint(LeadingNumber(text));
    if (rounded < low || rounded > high)
        return std::nullopt;
    return rounded;
}

} // namespace

double LeadingNumber(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    double sign = 1.0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        sign = text[i] == '-' ? -1.0 : 1.0;
        ++i;
    }
    double value = 0.0;
    for (; i < text.size() && IsDigit(text[i]); ++i)
        value = value * 10.0 + (text[i] - '0');
    if (i < text.size() && text[i] == '.') {
        double scale = 0.1;
        for (++i; i < text.size() && IsDigit(text[i]); ++i, scale /= 10.0)
            value += (text[i] - '0') * scale;
    }
    return sign * value;
}

std::optional<std::uint16_t> HttpPortFromText(std::string_view text)
{
    const auto port = RoundedWithin(text, 1.0, 65535.0);
    if (!port)
        return std::nullopt;
    return static_cast<std::uint16_t>(*port);
}

std::optional<std::int16_t> CommPortFromText(std::string_view text)
{
    const auto port = RoundedWithin(text, -32768.0, 32767.0);
    if (!port)
        return std::nullopt;
    return static_cast<std::int16_t>(*port);
}

} // namespace pontivo
