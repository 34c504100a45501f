#include "http/AccessRules.h"

#include "http/HttpRequest.h"

#include <algorithm>
#include <optional>

namespace pontivo {
namespace {

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool IsAlnum(char c)
{
    return IsDigit(c) || (LowerAscii(c) >= 'a' && LowerAscii(c) <= 'z');
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
    return Lowered(host);
}

bool Listed(const std::vector<std::string>& list, const std::string& item)
{
    return std::find(list.begin(), list.end(), item) != list.end();
}

// The entry that stands for the server's own pages at whatever address the request names.
constexpr std::string_view kSelf = "self";

// Listed as it stands, or through "self" as http:// and the request's Host line.
bool OriginListed(const std::vector<std::string>& origins, const HttpRequest& request, std::string_view origin)
{
    const std::string wanted = Lowered(origin);
    if (wanted == kSelf)
        return false; // an entry of the list, never an origin
    if (Listed(origins, wanted))
        return true;
    const auto host = request.Header("Host");
    return host && Listed(origins, std::string(kSelf)) && wanted == "http://" + Lowered(*host);
}

// Browsers say so on every request a page of another site makes, even on those without an Origin
// line (an image, a form, a link followed); other clients send no such line.
bool FromAnotherSite(const HttpRequest& request)
{
    const auto site = request.Header("Sec-Fetch-Site");
    const std::string lower = site ? Lowered(*site) : std::string();
    return lower == "cross-site" || lower == "same-site";
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
        const std::string_view entry = TrimBlanks(text.substr(start, comma - start));
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

Access DecideAccess(const AccessRules& rules, const HttpRequest& request, Effect effect)
{
    if (!rules.allowedHosts.empty()) {
        const auto host = request.Header("Host");
        const auto name = host ? HostPart(*host) : std::nullopt;
        if (!name || !Listed(rules.allowedHosts, *name))
            return Access::Refuse;
    }
    if (rules.allowedOrigins.empty())
        return Access::Serve;
    const auto origin = request.Header("Origin");
    if (!origin)
        return effect == Effect::Writes && FromAnotherSite(request) ? Access::Refuse : Access::Serve;
    if (OriginListed(rules.allowedOrigins, request, *origin))
        return Access::Serve;
    return effect == Effect::Writes ? Access::Refuse : Access::ServeWithoutCors;
}

std::string ReadHostList(std::string_view text, std::vector<std::string>& hosts)
{
    return ReadList(text, "a host name or address", hosts, HostPart);
}

std::string ReadOriginList(std::string_view text, std::vector<std::string>& origins)
{
    return ReadList(text, "an origin (scheme://host[:port]) or self", origins, [](std::string_view entry) {
        return IsOrigin(entry) || Lowered(entry) == kSelf ? std::optional(Lowered(entry)) : std::nullopt;
    });
}

} // namespace pontivo
