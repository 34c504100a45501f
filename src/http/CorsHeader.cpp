#include "CorsHeader.h"

#include <algorithm>

namespace pontivo {

std::string BuildCorsHeader(std::string_view requestText)
{
    constexpr std::string_view marker = "\r\nOrigin: ";
    const auto found = requestText.find(marker);
    if (found == std::string_view::npos)
        return {};
    const auto valueStart = found + marker.size();
    const auto lineEnd = requestText.find("\r\n", valueStart);
    if (lineEnd == std::string_view::npos)
        return {};
    std::string line = "Access-Control-Allow-Origin: ";
    line.append(requestText.substr(valueStart, lineEnd - valueStart));
    // A lone CR or LF inside the value must not split the response's header line.
    line.erase(std::remove_if(line.begin(), line.end(), [](char c) { return c == '\r' || c == '\n'; }),
               line.end());
    return line;
}

} // namespace pontivo
