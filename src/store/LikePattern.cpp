#include "store/LikePattern.h"

#include <bitset>
#include <cstddef>
#include <map>
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
    if (pattern.size() > kMaxBytes) {
        m_valid = false;
        return;
    }
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
    for (std::size_t t = 0; t < m_tokens; ++t) {
        if (tokens[t].star)
            m_stars[t / 64] |= Word{1} << (t % 64);
        else
            ++m_singles;
    }
    while (m_head < m_tokens && !tokens[m_head].star)
        ++m_head;
    while (m_head + m_tail < m_tokens && !tokens[m_tokens - 1 - m_tail].star)
        ++m_tail;
    // At most 256 rows whatever the pattern's length; a short pattern has a handful.
    std::map<std::vector<Word>, std::uint8_t> rows;
    for (std::size_t byte = 0; byte < 256; ++byte) {
        std::vector<Word> column(m_words, 0);
        for (std::size_t t = 0; t < m_tokens; ++t) {
            if (!tokens[t].star && tokens[t].accepts.test(byte))
                column[t / 64] |= Word{1} << (t % 64);
        }
        const auto [row, added] = rows.emplace(std::move(column), static_cast<std::uint8_t>(rows.size()));
        m_classOf[byte] = row->second;
        if (added)
            m_accepts.insert(m_accepts.end(), row->first.begin(), row->first.end());
    }
    m_accepts.shrink_to_fit();
}

bool LikePattern::Matches(std::string_view name) const
{
    if (!m_valid || name.size() < m_singles)
        return false;
    if (m_head == m_tokens)
        return name.size() == m_tokens && TakesEach(0, name);
    const std::size_t lastStar = m_tokens - m_tail - 1;
    if (!TakesEach(0, name.substr(0, m_head)) || !TakesEach(lastStar + 1, name.substr(name.size() - m_tail)))
        return false;
    // A single star takes whatever lies between.
    return m_head == lastStar || RunsThrough(m_head, lastStar, name.substr(m_head, name.size() - m_head - m_tail));
}

bool LikePattern::Scans() const
{
    if (!m_valid || m_head == m_tokens)
        return false;
    for (std::size_t t = m_head + 1; t + m_tail + 1 < m_tokens; ++t) {
        if (((m_stars[t / 64] >> (t % 64)) & 1) == 0)
            return true;
    }
    return false;
}

bool LikePattern::TakesEach(std::size_t firstToken, std::string_view bytes) const
{
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const std::size_t token = firstToken + i;
        if (((Accepts(bytes[i])[token / 64] >> (token % 64)) & 1) == 0)
            return false;
    }
    return true;
}

bool LikePattern::RunsThrough(std::size_t first, std::size_t last, std::string_view bytes) const
{
    // No allocation per name: a pattern of at most kMaxBytes tokens has few words of state.
    Word states[2 * kMaxWords] = {};
    Word* state = states;
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
    // Past the last star, it takes the rest of the bytes.
    const auto passed = [last](const Word* bits) { return (bits[(last + 1) / 64] >> ((last + 1) % 64)) & 1; };
    state[first / 64] = Word{1} << (first % 64);
    skipStars(state);
    for (const char c : bytes) {
        if (passed(state))
            return true;
        const Word* accepts = Accepts(c);
        Word carry = 0;
        for (std::size_t w = 0; w < m_words; ++w) {
            // A single token takes the byte and moves on; a star takes it and stays.
            const Word taken = state[w] & accepts[w];
            next[w] = (taken << 1) | carry | (state[w] & m_stars[w]);
            carry = taken >> 63;
        }
        skipStars(next);
        std::swap(state, next);
    }
    return passed(state);
}

} // namespace pontivo
