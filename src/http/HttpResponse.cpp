#include "http/HttpResponse.h"

#include <algorithm>

namespace pontivo {

std::string FrameHeader(std::string_view caption, std::string_view corsLine, std::uint64_t bodyLength,
                        std::size_t reserveForBody, Sniffing sniffing)
{
    constexpr std::string_view noSniff = "X-Content-Type-Options: nosniff\r\n";
    const std::string length = std::to_string(bodyLength);
    std::string header;
    header.reserve(96 + noSniff.size() + caption.size() + corsLine.size() + length.size() + reserveForBody);
    header.append("HTTP/1.1 200 OK\r\nConnection: close\r\nServer: ").append(caption).append("\r\n");
    if (!corsLine.empty())
        header.append(corsLine).append("\r\n");
    if (sniffing == Sniffing::Forbidden)
        header.append(noSniff);
    header.append("Content-Length: ").append(length).append("\r\n\r\n");
    return header;
}

std::string FrameResponse(std::string_view caption, std::string_view corsLine, std::string_view body,
                          Sniffing sniffing)
{
    return FrameHeader(caption, corsLine, body.size(), body.size(), sniffing).append(body);
}

std::string ForbiddenResponse(std::string_view caption)
{
    return std::string("HTTP/1.1 403 Forbidden\r\nConnection: close\r\nServer: ")
        .append(caption)
        .append("\r\nContent-Length: 0\r\n\r\n");
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
