#pragma once

#include <string_view>
#include <vector>
#include <bitset>

namespace pontivo {

// A compiled like-pattern: ? any one byte, * any run, # one digit, [list] / [!list]
// with ranges. Matching is whole-name, case-sensitive, and O(name x pattern) in the
// worst case (no exponential backtracking). A malformed pattern (unclosed "[",
// descending range) matches nothing.
class LikePattern {
public:
    explicit LikePattern(std::string_view pattern);
    bool Matches(std::string_view name) const;
    bool IsValid() const { return m_valid; }

private:
    struct Token {
        bool star = false;
        std::bitset<256> accepts; // for a single-character token
    };
    std::vector<Token> m_tokens;
    bool m_valid = true;
};

bool NameMatchesPattern(std::string_view name, std::string_view pattern);

} // namespace pontivo
