#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace pontivo {

// A compiled like-pattern: ? any one byte, * any run, # one digit, [list] / [!list]
// with ranges. Matching is whole-name and case-sensitive; it runs every way the pattern
// could have matched so far side by side, one bit each, so its cost is name x pattern / 64
// whatever the input (no backtracking): at most kMaxWords words per byte of the name. The bytes before the first star and after the last
// are compared in place, so `t*` costs the same for any name. A malformed pattern (unclosed
// "[", descending range) matches nothing, and so does one longer than kMaxBytes.
class LikePattern {
public:
    // Longer patterns match nothing: a match then costs at most three words of state per byte of a name.
    static constexpr std::size_t kMaxBytes = 128;

    explicit LikePattern(std::string_view pattern);
    bool Matches(std::string_view name) const;
    bool IsValid() const { return m_valid; }
    // Whether matching walks the whole name (something other than stars between two stars), so that its
    // cost grows with the name's length rather than the pattern's.
    bool Scans() const;
    // What the compiled form holds, for keeping many of them in bounds.
    std::size_t HeldBytes() const { return (m_stars.capacity() + m_accepts.capacity()) * sizeof(Word); }

private:
    using Word = std::uint64_t;
    static constexpr std::size_t kMaxWords = kMaxBytes / 64 + 1;

    const Word* Accepts(char c) const { return &m_accepts[m_classOf[static_cast<unsigned char>(c)] * m_words]; }
    bool TakesEach(std::size_t firstToken, std::string_view bytes) const;
    // Runs the tokens from `first` to `end` (a star at each end) over the bytes.
    bool RunsThrough(std::size_t first, std::size_t end, std::string_view bytes) const;

    // Bit i of a state: the first i tokens match the bytes read so far.
    std::size_t m_tokens = 0;
    std::size_t m_words = 0;
    std::size_t m_singles = 0;   // tokens taking exactly one byte: the shortest name that can match
    std::size_t m_head = 0;      // single tokens before the first star (all of them without one)
    std::size_t m_tail = 0;      // single tokens after the last star
    std::vector<Word> m_stars;   // bit i: token i is a star
    // Bytes that every token treats alike share a row: bit i when token i takes them.
    std::array<std::uint8_t, 256> m_classOf{};
    std::vector<Word> m_accepts;
    bool m_valid = true;
};

} // namespace pontivo
