#include "http/HttpResponse.h"

#include <algorithm>

namespace pontivo {
namespace {

std::string_view StatusText(int status)
{
    switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 413: return "Content Too Large";
    case 429: return "Too Many Requests";
    case 503: return "Service Unavailable";
    case 507: return "Insufficient Storage";
    default: return "Internal Server Error";
    }
}

} // namespace

std::string WriteHead(std::string_view caption, int status, std::string_view corsLine, std::string_view lines,
                      std::optional<std::uint64_t> bodyLength, std::size_t reserveForBody, Sniffing sniffing)
{
    const std::string length = bodyLength ? std::to_string(*bodyLength) : std::string();
    std::string text;
    text.reserve(96 + caption.size() + corsLine.size() + lines.size() + length.size() + reserveForBody);
    text.append("HTTP/1.1 ").append(std::to_string(status)).append(" ").append(StatusText(status));
    text.append("\r\nConnection: close\r\nServer: ").append(caption).append("\r\n");
    if (!corsLine.empty())
        text.append(corsLine).append("\r\n");
    if (sniffing == Sniffing::Refused)
        text.append(kNoSniffLine);
    text.append(lines);
    if (bodyLength)
        text.append("Content-Length: ").append(length).append("\r\n");
    return text.append("\r\n");
}

std::string WriteResponse(std::string_view caption, int status, std::string_view corsLine, std::string_view lines,
                          std::string_view body, Sniffing sniffing)
{
    return WriteHead(caption, status, corsLine, lines, body.size(), body.size(), sniffing).append(body);
}

std::size_t ReadFilePiece(const FileBody& body, char* into, std::size_t capacity)
{
    const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(body.size, capacity));
    // Files are at most a few hundred MiB, well within a long even where it has 32 bits.
    if (!body.file || wanted == 0 || std::fseek(body.file.get(), static_cast<long>(body.offset), SEEK_SET) != 0)
        return 0;
    return std::fread(into, 1, wanted, body.file.get());
}

bool ReadFileBody(FileBody& body, std::string& into, std::size_t limit)
{
    const std::size_t start = into.size();
    into.resize(start + static_cast<std::size_t>(std::min<std::uint64_t>(body.size, limit)));
    const std::size_t got = ReadFilePiece(body, into.data() + start, into.size() - start);
    into.resize(start + got);
    body.offset += got;
    body.size -= got;
    return got > 0;
}

} // namespace pontivo
