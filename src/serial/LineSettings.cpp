#include "serial/LineSettings.h"

#include <array>
#include <charconv>
#include <vector>

namespace pontivo {
namespace {

std::string_view Trimmed(std::string_view text)
{
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    return text;
}

std::vector<std::string_view> SplitFields(std::string_view text)
{
    std::vector<std::string_view> fields;
    for (;;) {
        const auto comma = text.find(',');
        fields.push_back(Trimmed(text.substr(0, comma)));
        if (comma == std::string_view::npos)
            return fields;
        text.remove_prefix(comma + 1);
    }
}

std::optional<int> WholeNumber(std::string_view text)
{
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value <= 0)
        return std::nullopt;
    return value;
}

std::optional<LineSettings::Parity> ParityFromLetter(std::string_view text)
{
    static constexpr std::array<std::pair<char, LineSettings::Parity>, 5> letters{{
        {'n', LineSettings::Parity::None},
        {'e', LineSettings::Parity::Even},
        {'o', LineSettings::Parity::Odd},
        {'m', LineSettings::Parity::Mark},
        {'s', LineSettings::Parity::Space},
    }};
    if (text.size() != 1)
        return std::nullopt;
    const char letter = static_cast<char>(text[0] | 0x20); // the letter may be written in capitals
    for (const auto& [candidate, parity] : letters) {
        if (candidate == letter)
            return parity;
    }
    return std::nullopt;
}

std::optional<LineSettings::StopBits> StopBitsFromText(std::string_view text)
{
    if (text == "1")
        return LineSettings::StopBits::One;
    if (text == "1.5")
        return LineSettings::StopBits::OneAndHalf;
    if (text == "2")
        return LineSettings::StopBits::Two;
    return std::nullopt;
}

LineSettingsResult Refuse(std::string_view text, const char* why)
{
    return {std::nullopt, "line settings \"" + std::string(text) + "\": " + why};
}

} // namespace

LineSettingsResult ParseLineSettings(std::string_view text)
{
    const auto fields = SplitFields(text);
    if (fields.size() != 4)
        return Refuse(text, "expected speed,parity,data bits,stop bits such as 9600,n,8,1");
    LineSettings settings;
    const auto baud = WholeNumber(fields[0]);
    const auto parity = ParityFromLetter(fields[1]);
    const auto dataBits = WholeNumber(fields[2]);
    const auto stopBits = StopBitsFromText(fields[3]);
    if (!baud)
        return Refuse(text, "the speed is not a positive whole number");
    if (!parity)
        return Refuse(text, "the parity letter is not one of n, e, o, m, s");
    if (!dataBits || *dataBits < 5 || *dataBits > 8)
        return Refuse(text, "the data bits are not 5, 6, 7 or 8");
    if (!stopBits)
        return Refuse(text, "the stop bits are not 1, 1.5 or 2");
    settings.baudRate = *baud;
    settings.parity = *parity;
    settings.dataBits = *dataBits;
    settings.stopBits = *stopBits;
    return {settings, {}};
}

} // namespace pontivo
