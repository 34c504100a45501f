#include "http/HttpRequest.h"

#include <algorithm>
#include <charconv>
#include <tuple>

namespace pontivo {
namespace {

constexpr std::string_view kLineEnd = "\r\n";

bool SameIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

// The line's first field and its second, between the first and second single blank.
std::pair<std::string_view, std::string_view> MethodAndTarget(std::string_view line)
{
    const auto firstBlank = line.find(' ');
    if (firstBlank == std::string_view::npos)
        return {line, {}};
    const auto rest = line.substr(firstBlank + 1);
    return {line.substr(0, firstBlank), rest.substr(0, rest.find(' '))};
}

// One walk over the lines after the request line: the header block's lines up to the blank line,
// among them the literal Origin line (one in the body is the client's data, not its origin).
void ReadLines(std::string_view text, HttpRequest& request)
{
    constexpr std::string_view origin = "Origin: ";
    request.headers.reserve(16); // one allocation for the usual request
    bool inHeaders = true;
    for (auto start = text.find(kLineEnd); start != std::string_view::npos;) {
        start += kLineEnd.size();
        const auto end = text.find(kLineEnd, start);
        const std::string_view line = text.substr(start, end - start);
        const bool ended = end != std::string_view::npos;
        if (line.empty() && ended && inHeaders) {
            inHeaders = false;
            request.headBytes = start + kLineEnd.size();
            request.body = text.substr(request.headBytes);
        }
        const auto colon = inHeaders ? line.find(':') : std::string_view::npos;
        if (colon != std::string_view::npos)
            request.headers.emplace_back(line.substr(0, colon), TrimBlanks(line.substr(colon + 1)));
        if (!request.literalOrigin && inHeaders && ended && line.starts_with(origin))
            request.literalOrigin = line.substr(origin.size());
        start = end;
    }
}

} // namespace

Segments SplitTarget(std::string_view target)
{
    if (target.starts_with('/'))
        target.remove_prefix(1);
    if (target.ends_with('/'))
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

HttpRequest ParseRequest(std::string_view text)
{
    HttpRequest request;
    std::tie(request.method, request.target) = MethodAndTarget(text.substr(0, text.find(kLineEnd)));
    request.urlMethod = text.starts_with("GET ") || text.starts_with("PUT ") || text.starts_with("POST ");
    if (request.urlMethod) {
        request.segments = SplitTarget(request.target);
        request.command = request.segments.empty() ? std::string("test") : Lowered(request.segments.front());
    }
    ReadLines(text, request);
    return request;
}

std::optional<std::string_view> HttpRequest::Header(std::string_view name) const
{
    for (const auto& [lineName, value] : headers) {
        if (SameIgnoringCase(lineName, name))
            return value;
    }
    return std::nullopt;
}

std::optional<std::size_t> HttpRequest::DeclaredBodyLength() const
{
    if (Header("Transfer-Encoding"))
        return std::nullopt;
    std::optional<std::size_t> declared;
    for (const auto& [name, text] : headers) {
        if (!SameIgnoringCase(name, "Content-Length"))
            continue;
        std::size_t length = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), length);
        // Two lines that differ leave the body's end in doubt: the request is refused, never guessed at.
        if (text.empty() || error != std::errc() || end != text.data() + text.size() || (declared && *declared != length))
            return std::nullopt;
        declared = length;
    }
    return declared.value_or(0);
}

char LowerAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Lowered(std::string_view text)
{
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), LowerAscii);
    return lower;
}

std::string_view TrimBlanks(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool RequestReady(std::string_view buffer, std::size_t scannedBefore, std::size_t limit)
{
    if (buffer.size() >= limit)
        return true;
    // Back up three bytes: the blank line may straddle two arrivals.
    const std::size_t from = scannedBefore > 3 ? scannedBefore - 3 : 0;
    const auto [method, target] = MethodAndTarget(buffer.substr(0, buffer.find(kLineEnd)));
    if (method != "PUT" || !target.starts_with("/api/"))
        return buffer.find("\r\n\r\n", from) != std::string_view::npos;
    // A blank line inside the body is no header end, so the search starts over (one header block each time).
    const auto headerEnd = buffer.find("\r\n\r\n");
    if (headerEnd == std::string_view::npos)
        return false;
    const std::size_t bodyStart = headerEnd + 4;
    const auto length = ParseRequest(buffer.substr(0, bodyStart)).DeclaredBodyLength();
    return !length || *length > limit - bodyStart || buffer.size() - bodyStart >= *length;
}

} // namespace pontivo
