#include "AccessRules.h"

#include <algorithm>
#include <array>

namespace pontivo {
namespace {

char LowerChar(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Lower(std::string_view text)
{
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), LowerChar);
    return lower;
}

bool SameIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
        return LowerChar(x) == LowerChar(y);
    });
}

std::string_view Trimmed(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool IsAlnum(char c)
{
    return IsDigit(c) || (LowerChar(c) >= 'a' && LowerChar(c) <= 'z');
}

// ":1" to ":65535", or nothing.
bool ValidPortSuffix(std::string_view suffix)
{
    if (suffix.empty())
        return true;
    if (suffix.front() != ':' || suffix.size() < 2 || suffix.size() > 6)
        return false;
    suffix.remove_prefix(1);
    return std::all_of(suffix.begin(), suffix.end(), IsDigit) && std::stoul(std::string(suffix)) - 1 < 65535;
}

// The host of "host[:port]", "[v6][:port]" or a bare IPv6 address, lower-cased; nothing when malformed.
std::optional<std::string> HostPart(std::string_view text)
{
    std::string_view host = text;
    std::string_view rest;
    if (text.substr(0, 1) == "[") {
        const auto close = text.find(']');
        if (close == std::string_view::npos)
            return std::nullopt;
        host = text.substr(1, close - 1);
        rest = text.substr(close + 1);
    } else if (std::count(text.begin(), text.end(), ':') == 1) {
        host = text.substr(0, text.find(':'));
        rest = text.substr(text.find(':'));
    }
    const auto allowed = [](char c) { return IsAlnum(c) || c == '-' || c == '.' || c == '_' || c == ':'; };
    if (host.empty() || !std::all_of(host.begin(), host.end(), allowed) || !ValidPortSuffix(rest))
        return std::nullopt;
    return Lower(host);
}

bool Listed(const std::vector<std::string>& list, const std::string& item)
{
    return std::find(list.begin(), list.end(), item) != list.end();
}

// "scheme://host[:port]" and nothing more: the form browsers send.
bool IsOrigin(std::string_view text)
{
    const auto separator = text.find("://");
    if (separator == std::string_view::npos || separator == 0 || !IsAlnum(text.front()) || IsDigit(text.front()))
        return false;
    const std::string_view scheme = text.substr(0, separator);
    const auto schemeChar = [](char c) { return IsAlnum(c) || c == '+' || c == '-' || c == '.'; };
    return std::all_of(scheme.begin(), scheme.end(), schemeChar) && HostPart(text.substr(separator + 3));
}

// Splits at commas, blanks around entries ignored; each entry is checked and stored as `keep` makes it.
template <typename Keep>
std::string ReadList(std::string_view text, std::string_view what, std::vector<std::string>& into, Keep keep)
{
    into.clear();
    for (std::size_t start = 0;;) {
        const auto comma = text.find(',', start);
        const std::string_view entry = Trimmed(text.substr(start, comma - start));
        const std::optional<std::string> kept = keep(entry);
        if (!kept)
            return std::string("'").append(entry).append("' is not ").append(what);
        into.push_back(*kept);
        if (comma == std::string_view::npos)
            return {};
        start = comma + 1;
    }
}

} // namespace

std::optional<std::string_view> HeaderValue(std::string_view requestText, std::string_view name)
{
    auto lineStart = requestText.find("\r\n");
    while (lineStart != std::string_view::npos) {
        lineStart += 2;
        const auto lineEnd = requestText.find("\r\n", lineStart);
        const std::string_view line = requestText.substr(lineStart, lineEnd - lineStart);
        if (line.empty())
            break;
        const auto colon = line.find(':');
        if (colon != std::string_view::npos && SameIgnoringCase(line.substr(0, colon), name))
            return Trimmed(line.substr(colon + 1));
        lineStart = lineEnd;
    }
    return std::nullopt;
}

bool ChangesState(std::string_view command)
{
    static constexpr std::array<std::string_view, 9> writers{
        "set", "setlike", "put", "putlike", "push", "pushlike", "unset", "unsetlike", "reset"};
    return std::find(writers.begin(), writers.end(), command) != writers.end();
}

Access DecideAccess(const AccessRules& rules, std::string_view requestText, std::string_view command)
{
    if (!rules.allowedHosts.empty()) {
        const auto host = HeaderValue(requestText, "Host");
        const auto name = host ? HostPart(*host) : std::nullopt;
        if (!name || !Listed(rules.allowedHosts, *name))
            return Access::Refuse;
    }
    const auto origin = HeaderValue(requestText, "Origin");
    if (rules.allowedOrigins.empty() || !origin || Listed(rules.allowedOrigins, Lower(*origin)))
        return Access::Serve;
    return ChangesState(command) ? Access::Refuse : Access::ServeWithoutCors;
}

std::string ReadHostList(std::string_view text, std::vector<std::string>& hosts)
{
    return ReadList(text, "a host name or address", hosts, HostPart);
}

std::string ReadOriginList(std::string_view text, std::vector<std::string>& origins)
{
    return ReadList(text, "an origin (scheme://host[:port])", origins, [](std::string_view entry) {
        return IsOrigin(entry) ? std::optional(Lower(entry)) : std::nullopt;
    });
}

} // namespace pontivo
