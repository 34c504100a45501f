#include "http/Authorization.h"

#include "http/HttpRequest.h"
#include "http/Secrets.h"

#include <algorithm>

namespace pontivo {
namespace {

// A control character cannot come from a login prompt, and a NUL would cut the name short elsewhere.
bool Printable(std::string_view text)
{
    return std::none_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

bool TokenChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~' || c == '+' || c == '/' || c == '=';
}

Credentials Basic(std::string_view encoded)
{
    const std::optional<std::string> decoded = DecodeBase64(encoded);
    const auto colon = decoded ? decoded->find(':') : std::string::npos;
    if (colon == std::string::npos || colon == 0 || !Printable(*decoded))
        return {Credentials::Kind::Malformed, {}, {}};
    return {Credentials::Kind::Basic, decoded->substr(0, colon), decoded->substr(colon + 1)};
}

} // namespace

Credentials ReadAuthorization(std::optional<std::string_view> line)
{
    if (!line)
        return {};
    const Credentials malformed{Credentials::Kind::Malformed, {}, {}};
    if (line->size() > kMaxAuthorizationBytes)
        return malformed;
    const auto blank = line->find(' ');
    if (blank == std::string_view::npos)
        return malformed;
    const std::string scheme = Lowered(line->substr(0, blank));
    const std::string_view value = TrimBlanks(line->substr(blank + 1));
    if (scheme == "basic")
        return Basic(value);
    if (scheme == "bearer" && !value.empty() && std::all_of(value.begin(), value.end(), TokenChar))
        return {Credentials::Kind::Bearer, {}, std::string(value)};
    return malformed;
}

} // namespace pontivo
