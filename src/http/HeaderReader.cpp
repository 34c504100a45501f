#include "http/HeaderReader.h"

#include <algorithm>

namespace pontivo {
namespace {

constexpr std::string_view kLineEnd = "\r\n";

bool SameIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

// The value when `line` is the header wanted; `ended` tells whether a CR LF follows the line.
std::optional<std::string_view> ValueIn(std::string_view line, bool ended, std::string_view name, HeaderMatch match)
{
    if (match == HeaderMatch::Literal) {
        if (!ended || !line.starts_with(name) || !line.substr(name.size()).starts_with(": "))
            return std::nullopt;
        return line.substr(name.size() + 2);
    }
    const auto colon = line.find(':');
    if (colon == std::string_view::npos || !SameIgnoringCase(line.substr(0, colon), name))
        return std::nullopt;
    return TrimBlanks(line.substr(colon + 1));
}

} // namespace

std::optional<std::string_view> FindHeader(std::string_view requestText, std::string_view name, HeaderMatch match)
{
    // Each line starts after a CR LF, so the request line is never taken for a header.
    for (auto start = requestText.find(kLineEnd); start != std::string_view::npos;) {
        start += kLineEnd.size();
        const auto end = requestText.find(kLineEnd, start);
        const std::string_view line = requestText.substr(start, end - start);
        if (line.empty() && match == HeaderMatch::Lenient)
            break; // the end of the header block
        if (const auto value = ValueIn(line, end != std::string_view::npos, name, match))
            return value;
        start = end;
    }
    return std::nullopt;
}

char LowerAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string_view TrimBlanks(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

} // namespace pontivo
