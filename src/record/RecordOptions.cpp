#include "record/RecordOptions.h"

#include <array>
#include <charconv>
#include <utility>

namespace pontivo {

std::optional<std::int64_t> ParseDurationMs(std::string_view text)
{
    constexpr std::int64_t kLongestMs = 100LL * 366 * 24 * 3600 * 1000;
    constexpr std::array<std::pair<char, std::int64_t>, 4> units{
        {{'s', 1000}, {'m', 60'000}, {'h', 3'600'000}, {'d', 86'400'000}}};
    if (text.size() < 2)
        return std::nullopt;
    const std::string_view digits = text.substr(0, text.size() - 1);
    std::int64_t number = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (error != std::errc() || end != digits.data() + digits.size() || number < 1)
        return std::nullopt;
    for (const auto& [unit, ms] : units) {
        if (text.back() == unit && number <= kLongestMs / ms)
            return number * ms;
    }
    return std::nullopt;
}

} // namespace pontivo
