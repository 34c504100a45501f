#include "http/SecureRedirect.h"

#include "http/HttpRequest.h"
#include "http/HttpResponse.h"

#include <algorithm>
#include <optional>

namespace pontivo {
namespace {

bool HostChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
           c == '_' || c == ':' || c == '[' || c == ']';
}

// The Host line without its port: "box.local", "192.0.2.7", "[2001:db8::1]".
std::optional<std::string_view> HostName(const HttpRequest& request)
{
    const auto host = request.Header("Host");
    if (!host || host->empty() || !std::all_of(host->begin(), host->end(), HostChar))
        return std::nullopt;
    const auto close = host->find(']');
    if (host->front() == '[')
        return close == std::string_view::npos ? std::nullopt : std::optional(host->substr(0, close + 1));
    const std::string_view name = host->substr(0, host->find(':'));
    return name.empty() ? std::nullopt : std::optional(name);
}

bool PlainTarget(std::string_view target)
{
    return target.starts_with('/') &&
           std::none_of(target.begin(), target.end(), [](char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7f; });
}

} // namespace

std::string HttpsRedirect(std::string_view caption, const HttpRequest& request, std::uint16_t httpsPort)
{
    const std::string port = std::to_string(httpsPort);
    const auto host = HostName(request);
    if (!host)
        return WriteResponse(caption, 400, {}, "Content-Type: text/plain; charset=utf-8\r\n",
                             "This server takes HTTPS on port " + port + "; plain HTTP only from this machine.\n");
    std::string location = "Location: https://" + std::string(*host) + (httpsPort == 443 ? "" : ":" + port);
    location.append(PlainTarget(request.target) ? request.target : "/").append("\r\n");
    return WriteResponse(caption, 308, {}, location, {});
}

} // namespace pontivo
