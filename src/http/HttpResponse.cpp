#include "HttpResponse.h"

namespace pontivo {

std::string FrameResponse(std::string_view caption, std::string_view corsLine, std::string_view body)
{
    const std::string length = std::to_string(body.size());
    std::string response;
    response.reserve(96 + caption.size() + corsLine.size() + length.size() + body.size());
    response.append("HTTP/1.1 200 OK\r\nConnection: close\r\nServer: ").append(caption).append("\r\n");
    if (!corsLine.empty())
        response.append(corsLine).append("\r\n");
    response.append("Content-Length: ").append(length).append("\r\n\r\n").append(body);
    return response;
}

} // namespace pontivo
