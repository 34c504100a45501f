#pragma once

#include <string>
#include <string_view>

namespace pontivo {

struct HttpRequest;

// "Access-Control-Allow-Origin: " + the Origin value echoed as received, or "" when the
// request has no literal Origin line.
std::string BuildCorsHeader(const HttpRequest& request);

// For a preflight that asks whether a public page may reach this private address: the line that says
// yes (whole, with its CR LF), or "" when the request does not ask. Only for origins allowed to read.
std::string_view PrivateNetworkLine(const HttpRequest& request);

} // namespace pontivo
