#include "http/CorsHeader.h"

#include "http/HeaderReader.h"

#include <algorithm>

namespace pontivo {

std::string BuildCorsHeader(std::string_view requestText)
{
    const auto origin = FindHeader(requestText, "Origin", HeaderMatch::Literal);
    if (!origin)
        return {};
    std::string line = "Access-Control-Allow-Origin: ";
    line.append(*origin);
    // A lone CR or LF inside the value must not split the response's header line.
    line.erase(std::remove_if(line.begin(), line.end(), [](char c) { return c == '\r' || c == '\n'; }),
               line.end());
    return line;
}

} // namespace pontivo
