#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace pontivo {

// A compiled like-pattern: ? any one byte, * any run, # one digit, [list] / [!list]
// with ranges. Matching is whole-name and case-sensitive; it runs every way the pattern
// could have matched so far side by side, one bit each, so its cost is name x pattern / 64
// whatever the input (no backtracking). A malformed pattern (unclosed "[", descending
// range) matches nothing.
class LikePattern {
public:
    explicit LikePattern(std::string_view pattern);
    bool Matches(std::string_view name) const;
    bool IsValid() const { return m_valid; }

private:
    using Word = std::uint64_t;

    // Bit i of a state: the first i tokens match the bytes read so far.
    std::size_t m_tokens = 0;
    std::size_t m_words = 0;
    std::size_t m_singles = 0;   // tokens taking exactly one byte: the shortest name that can match
    std::vector<Word> m_stars;   // bit i: token i is a star
    std::vector<Word> m_accepts; // row per byte value: bit i when token i takes that byte
    bool m_valid = true;
};

} // namespace pontivo
