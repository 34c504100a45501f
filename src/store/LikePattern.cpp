#include "LikePattern.h"

#include <cstddef>
#include <optional>

namespace pontivo {

namespace {

using CharSet = std::bitset<256>;

unsigned char Byte(char c)
{
    return static_cast<unsigned char>(c);
}

CharSet DigitSet()
{
    CharSet digits;
    for (unsigned char c = '0'; c <= '9'; ++c)
        digits.set(c);
    return digits;
}

// Parses the inside of "[...]" (brackets excluded); nullopt for a descending range.
std::optional<CharSet> ParseList(std::string_view list)
{
    const bool negated = !list.empty() && list.front() == '!';
    if (negated)
        list.remove_prefix(1);

    CharSet accepts;
    std::size_t i = 0;
    if (!list.empty() && list.front() == '-') {
        accepts.set(Byte('-'));
        i = 1;
    }
    while (i < list.size()) {
        const bool isRange = i + 2 < list.size() && list[i + 1] == '-';
        if (!isRange) {
            accepts.set(Byte(list[i]));
            ++i;
            continue;
        }
        const unsigned char low = Byte(list[i]);
        const unsigned char high = Byte(list[i + 2]);
        if (low > high)
            return std::nullopt;
        for (unsigned c = low; c <= high; ++c)
            accepts.set(c);
        i += 3;
    }
    return negated ? ~accepts : accepts;
}

} // namespace

LikePattern::LikePattern(std::string_view pattern)
{
    std::size_t i = 0;
    while (i < pattern.size()) {
        const char c = pattern[i];
        Token token;
        if (c == '*') {
            ++i;
            // Adjacent stars are one star; keeping them apart would only slow matching.
            if (!m_tokens.empty() && m_tokens.back().star)
                continue;
            token.star = true;
        } else if (c == '?') {
            token.accepts.set();
            ++i;
        } else if (c == '#') {
            token.accepts = DigitSet();
            ++i;
        } else if (c == '[') {
            const std::size_t close = pattern.find(']', i + 1);
            const auto list = close == std::string_view::npos
                ? std::nullopt
                : ParseList(pattern.substr(i + 1, close - i - 1));
            if (!list) {
                m_valid = false;
                m_tokens.clear();
                return;
            }
            token.accepts = *list;
            i = close + 1;
        } else {
            token.accepts.set(Byte(c));
            ++i;
        }
        m_tokens.push_back(token);
    }
}

// Greedy matching that backtracks only to the most recent star. That is enough
// because every other token consumes exactly one character, and it keeps the
// worst case at O(name x pattern).
bool LikePattern::Matches(std::string_view name) const
{
    if (!m_valid)
        return false;

    constexpr std::size_t none = static_cast<std::size_t>(-1);
    std::size_t token = 0;
    std::size_t pos = 0;
    std::size_t starToken = none;
    std::size_t starPos = 0;
    while (pos < name.size()) {
        if (token < m_tokens.size() && m_tokens[token].star) {
            starToken = token++;
            starPos = pos;
        } else if (token < m_tokens.size() && m_tokens[token].accepts.test(Byte(name[pos]))) {
            ++token;
            ++pos;
        } else if (starToken != none) {
            token = starToken + 1;
            pos = ++starPos;
        } else {
            return false;
        }
    }
    while (token < m_tokens.size() && m_tokens[token].star)
        ++token;
    return token == m_tokens.size();
}

bool NameMatchesPattern(std::string_view name, std::string_view pattern)
{
    return LikePattern(pattern).Matches(name);
}

} // namespace pontivo
