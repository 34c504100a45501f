#include "topics/MqttTopics.h"

#include <cstdint>

namespace pontivo {
namespace {

constexpr std::string_view kEmptyName = "%"; // a lone '%' is no escape, so it cannot be a name
constexpr std::string_view kHex = "0123456789ABCDEF";

// Length of the UTF-8 sequence at `at` when brokers accept it in a topic, else 0: well-formed,
// no C0/C1 control, no surrogate, no noncharacter.
std::size_t AcceptedSequence(std::string_view text, std::size_t at)
{
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const std::uint8_t lead = byte(at);
    if (lead >= 0x20 && lead < 0x7F)
        return 1;
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (lead > 0xF4 || length == 0 || at + length > text.size())
        return 0;
    std::uint32_t code = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (byte(at + i) & 0x3F);
    }
    const std::uint32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
    const bool usable = code >= shortest[length] && code >= 0xA0 && code <= 0x10FFFF &&
                        (code < 0xD800 || code > 0xDFFF) && (code < 0xFDD0 || code > 0xFDEF) &&
                        (code & 0xFFFE) != 0xFFFE;
    return usable ? length : 0;
}

int HexValue(char c)
{
    const auto at = kHex.find(c);
    return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

} // namespace

std::string EncodeTopicLevel(std::string_view name)
{
    if (name.empty())
        return std::string(kEmptyName);
    std::string level;
    level.reserve(name.size());
    for (std::size_t i = 0; i < name.size();) {
        const char c = name[i];
        const std::size_t length = AcceptedSequence(name, i);
        const bool special = c == '%' || c == '/' || c == '+' || c == '#' || (c == '$' && i == 0);
        if (length > 0 && !special) {
            level.append(name.substr(i, length));
            i += length;
            continue;
        }
        const auto value = static_cast<std::uint8_t>(c);
        level += '%';
        level += kHex[value >> 4];
        level += kHex[value & 0xF];
        ++i;
    }
    return level;
}

std::optional<std::string> DecodeTopicLevel(std::string_view level)
{
    if (level == kEmptyName)
        return std::string();
    std::string name;
    for (std::size_t i = 0; i < level.size(); ++i) {
        if (level[i] != '%') {
            name += level[i];
            continue;
        }
        const int high = i + 2 < level.size() ? HexValue(level[i + 1]) : -1;
        const int low = high < 0 ? -1 : HexValue(level[i + 2]);
        if (low < 0)
            return std::nullopt;
        name += static_cast<char>(high * 16 + low);
        i += 2;
    }
    // Only the one spelling: "a/b" must not be reachable as anything but "a%2Fb".
    if (EncodeTopicLevel(name) != level)
        return std::nullopt;
    return name;
}

std::string ValueTopic(std::string_view prefix, std::string_view name)
{
    return std::string(prefix) + '/' + EncodeTopicLevel(name);
}

std::optional<std::string> NameFromSetTopic(std::string_view prefix, std::string_view topic)
{
    constexpr std::string_view kSuffix = "/set";
    if (topic.size() < prefix.size() + 1 + kSuffix.size() || topic.substr(0, prefix.size()) != prefix ||
        topic[prefix.size()] != '/' || topic.substr(topic.size() - kSuffix.size()) != kSuffix)
        return std::nullopt;
    const std::string_view level =
        topic.substr(prefix.size() + 1, topic.size() - prefix.size() - 1 - kSuffix.size());
    if (level.find('/') != std::string_view::npos)
        return std::nullopt;
    return DecodeTopicLevel(level);
}

std::string PrefixProblem(std::string_view prefix)
{
    if (prefix.empty())
        return "is empty";
    if (prefix.find_first_of(std::string_view("+#\0", 3)) != std::string_view::npos)
        return "contains a wildcard (+ or #) or NUL";
    if (prefix.front() == '$')
        return "starts with $, which brokers keep for themselves";
    if (prefix.front() == '/' || prefix.back() == '/' || prefix.find("//") != std::string_view::npos)
        return "has an empty topic level";
    return {};
}

} // namespace pontivo
