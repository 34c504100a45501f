#pragma once

#include <string>

namespace pontivo {

struct HttpRequest;

// "Access-Control-Allow-Origin: " + the Origin value echoed as received, or "" when the
// request has no literal Origin line.
std::string BuildCorsHeader(const HttpRequest& request);

} // namespace pontivo
