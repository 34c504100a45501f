#include "http/HttpRequest.h"

#include "http/HeaderReader.h"

#include <charconv>

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
    request.target = RequestTarget(requestText);
    request.segments = SplitTarget(request.target);
    request.command = request.segments.empty() ? std::string("test") : LowerAscii(request.segments.front());
    return request;
}

std::string_view RequestMethod(std::string_view requestText)
{
    const std::string_view line = RequestLine(requestText);
    return line.substr(0, line.find(' '));
}

std::string_view RequestTarget(std::string_view requestText)
{
    return TargetOf(RequestLine(requestText));
}

bool IsApiTarget(std::string_view target)
{
    return StartsWith(target, "/api/");
}

bool ReadsBody(std::string_view requestText)
{
    return RequestMethod(requestText) == "PUT" && IsApiTarget(RequestTarget(requestText));
}

std::optional<std::size_t> DeclaredBodyLength(std::string_view requestText)
{
    if (FindHeader(requestText, "Transfer-Encoding", HeaderMatch::Lenient))
        return std::nullopt;
    const auto text = FindHeader(requestText, "Content-Length", HeaderMatch::Lenient);
    if (!text)
        return 0;
    std::size_t length = 0;
    const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), length);
    if (text->empty() || error != std::errc() || end != text->data() + text->size())
        return std::nullopt;
    return length;
}

} // namespace pontivo

namespace pontivo {

bool RequestReady(std::string_view buffer, std::size_t scannedBefore, std::size_t limit)
{
    if (buffer.size() >= limit)
        return true;
    // Back up three bytes: the blank line may straddle two arrivals.
    const std::size_t from = scannedBefore > 3 ? scannedBefore - 3 : 0;
    if (!ReadsBody(buffer))
        return buffer.find("\r\n\r\n", from) != std::string_view::npos;
    // A blank line inside the body is no header end, so the search starts over (one header block each time).
    const auto headerEnd = buffer.find("\r\n\r\n");
    if (headerEnd == std::string_view::npos)
        return false;
    const std::size_t bodyStart = headerEnd + 4;
    const auto length = DeclaredBodyLength(buffer.substr(0, bodyStart));
    return !length || *length > limit - bodyStart || buffer.size() - bodyStart >= *length;
}

} // namespace pontivo
