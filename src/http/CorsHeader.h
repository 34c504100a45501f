#pragma once

#include <string>
#include <string_view>

namespace pontivo {

// "Access-Control-Allow-Origin: " + the Origin value echoed as received, or "" when the
// request has no "\r\nOrigin: " line ended by CR LF.
std::string BuildCorsHeader(std::string_view requestText);

} // namespace pontivo
