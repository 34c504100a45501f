#pragma once

#include <optional>
#include <string_view>

namespace pontivo {

enum class HeaderMatch {
    // The first CR LF followed by "Name: " exactly (case and the one blank as written), anywhere
    // in the text, even past the header block; the value as received, up to the next CR LF,
    // which must be there. Pages rely on the echo being this literal.
    Literal,
    // A line of the header block, its name in any case; the value without surrounding blanks.
    Lenient,
};

// The value of the first header line called `name`, read as `match` says.
std::optional<std::string_view> FindHeader(std::string_view requestText, std::string_view name, HeaderMatch match);

char LowerAscii(char c);
// Without leading and trailing blanks and tabs.
std::string_view TrimBlanks(std::string_view text);

} // namespace pontivo
