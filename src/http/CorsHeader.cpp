#include "http/CorsHeader.h"

#include "http/HttpRequest.h"

#include <algorithm>

namespace pontivo {

std::string BuildCorsHeader(const HttpRequest& request)
{
    if (!request.literalOrigin)
        return {};
    std::string line = "Access-Control-Allow-Origin: ";
    line.append(*request.literalOrigin);
    // A lone CR or LF inside the value must not split the response's header line.
    line.erase(std::remove_if(line.begin(), line.end(), [](char c) { return c == '\r' || c == '\n'; }),
               line.end());
    return line;
}

} // namespace pontivo
