#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pontivo {

struct HttpRequest;

// With HTTPS on, the answer to plain HTTP from another machine: a 308 to the same target at the host
// the client named, on the HTTPS port; a 400 that says where to go when no usable Host line came.
std::string HttpsRedirect(std::string_view caption, const HttpRequest& request, std::uint16_t httpsPort);

} // namespace pontivo
