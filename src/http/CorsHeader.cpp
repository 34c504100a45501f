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

std::string_view PrivateNetworkLine(const HttpRequest& request)
{
    const auto asked = request.Header("Access-Control-Request-Private-Network");
    const bool yes = request.method == "OPTIONS" && asked && Lowered(*asked) == "true";
    return yes ? "Access-Control-Allow-Private-Network: true\r\n" : "";
}

} // namespace pontivo
