#include "HttpRequest.h"

namespace pontivo {
namespace {

bool StartsWith(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

std::string_view RequestLine(std::string_view text)
{
    return text.substr(0, text.find("\r\n"));
}

// The field between the first and second single blank; two blanks in a row give an empty field.
std::string_view TargetOf(std::string_view requestLine)
{
    const auto firstBlank = requestLine.find(' ');
    if (firstBlank == std::string_view::npos)
        return {};
    const auto rest = requestLine.substr(firstBlank + 1);
    return rest.substr(0, rest.find(' '));
}

std::string LowerAscii(std::string_view text)
{
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}

} // namespace

Segments SplitTarget(std::string_view target)
{
    if (StartsWith(target, "/"))
        target.remove_prefix(1);
    if (!target.empty() && target.back() == '/')
        target.remove_suffix(1);
    Segments segments;
    if (target.empty())
        return segments;
    std::size_t start = 0;
    for (;;) {
        const auto slash = target.find('/', start);
        segments.emplace_back(target.substr(start, slash - start));
        if (slash == std::string_view::npos)
            break;
        start = slash + 1;
    }
    return segments;
}

ParsedRequest ParseRequest(std::string_view requestText)
{
    ParsedRequest request;
    request.methodAccepted = StartsWith(requestText, "GET ") || StartsWith(requestText, "PUT ")
        || StartsWith(requestText, "POST ");
    if (!request.methodAccepted)
        return request;
    request.target = TargetOf(RequestLine(requestText));
    request.segments = SplitTarget(request.target);
    request.command = request.segments.empty() ? std::string("test") : LowerAscii(request.segments.front());
    return request;
}

} // namespace pontivo

namespace pontivo {

bool RequestReady(std::string_view buffer, std::size_t scannedBefore, std::size_t limit)
{
    if (buffer.size() >= limit)
        return true;
    // Back up three bytes: the blank line may straddle two arrivals.
    const std::size_t from = scannedBefore > 3 ? scannedBefore - 3 : 0;
    return buffer.find("\r\n\r\n", from) != std::string_view::npos;
}

} // namespace pontivo
