#pragma once

#include <string>
#include <string_view>

namespace pontivo {

// The only response the server ever sends: status, Connection, Server, the CORS line
// when there is one, Content-Length, blank line, body. No other header, ever.
std::string FrameResponse(std::string_view caption, std::string_view corsLine, std::string_view body);

} // namespace pontivo
