#include "LikePattern.h"

#include <bitset>
#include <cstddef>
#include <optional>
#include <utility>

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
    struct Token {
        bool star = false;
        CharSet accepts; // for a single-character token
    };
    std::vector<Token> tokens;
    std::size_t i = 0;
    while (i < pattern.size()) {
        const char c = pattern[i];
        Token token;
        if (c == '*') {
            ++i;
            // Adjacent stars are one star; the matcher relies on no two standing together.
            if (!tokens.empty() && tokens.back().star)
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
                return;
            }
            token.accepts = *list;
            i = close + 1;
        } else {
            token.accepts.set(Byte(c));
            ++i;
        }
        tokens.push_back(token);
    }

    m_tokens = tokens.size();
    m_words = m_tokens / 64 + 1; // states 0 to m_tokens
    m_stars.assign(m_words, 0);
    m_accepts.assign(256 * m_words, 0);
    for (std::size_t t = 0; t < m_tokens; ++t) {
        const Word bit = Word{1} << (t % 64);
        if (tokens[t].star) {
            m_stars[t / 64] |= bit;
            continue;
        }
        ++m_singles;
        for (std::size_t byte = 0; byte < 256; ++byte) {
            if (tokens[t].accepts.test(byte))
                m_accepts[byte * m_words + t / 64] |= bit;
        }
    }
}

bool LikePattern::Matches(std::string_view name) const
{
    if (!m_valid || name.size() < m_singles)
        return false;

    // Short patterns, the usual ones, need no allocation per name.
    Word small[8] = {};
    std::vector<Word> large(m_words > 4 ? 2 * m_words : 0, 0);
    Word* state = large.empty() ? small : large.data();
    Word* next = state + m_words;
    // A star may match nothing: a state before a star is also the state after it.
    const auto skipStars = [this](Word* bits) {
        Word carry = 0;
        for (std::size_t w = 0; w < m_words; ++w) {
            const Word before = bits[w] & m_stars[w];
            bits[w] |= (before << 1) | carry;
            carry = before >> 63;
        }
    };
    state[0] = 1;
    skipStars(state);
    for (const char c : name) {
        const Word* accepts = &m_accepts[Byte(c) * m_words];
        Word carry = 0;
        Word any = 0;
        for (std::size_t w = 0; w < m_words; ++w) {
            // A single token takes the byte and moves on; a star takes it and stays.
            const Word taken = state[w] & accepts[w];
            next[w] = (taken << 1) | carry | (state[w] & m_stars[w]);
            carry = taken >> 63;
            any |= next[w];
        }
        if (any == 0)
            return false;
        skipStars(next);
        std::swap(state, next);
    }
    return (state[m_tokens / 64] >> (m_tokens % 64)) & 1;
}

} // namespace pontivo
