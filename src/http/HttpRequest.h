#pragma once

#include "store/Segments.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pontivo {

// A request as every rule reads it, parsed once. The views point into the text it was parsed from,
// which must outlive it. Nothing is refused here: a request a strict parser would reject is still
// answered, from whatever could be read of it.
struct HttpRequest {
    std::string_view method; // the request line's first field
    std::string_view target; // its second: two blanks in a row give an empty one
    // "GET ", "PUT " or "POST ", exact case: the methods the URL commands answer, the only ones cut into segments.
    bool urlMethod = false;
    Segments segments;   // element 0 is the command as written
    std::string command; // the first segment lower-cased, "test" when there is none; empty for other methods
    // The header block's lines that have a colon: the name as written, the value without surrounding blanks.
    std::vector<std::pair<std::string_view, std::string_view>> headers;
    // The first line of the header block that starts "Origin: " exactly and ends with CR LF: pages rely
    // on the echo being this literal.
    std::optional<std::string_view> literalOrigin;
    // What follows the blank line; nothing without one.
    std::optional<std::string_view> body;
    std::size_t headBytes = 0; // the request line and header block with the blank line, when there is one

    // The first header line of that name, in any case.
    std::optional<std::string_view> Header(std::string_view name) const;
    // The Content-Length, 0 without one; nothing when it is not a plain number, when two lines of it differ, or
    // when a Transfer-Encoding comes instead.
    std::optional<std::size_t> DeclaredBodyLength() const;
    // The JSON API's targets: proper HTTP, any method.
    bool ApiTarget() const { return target.starts_with("/api/"); }
};

HttpRequest ParseRequest(std::string_view text);

// "/get/a/" -> {"get", "a"}; "/" and "" -> {}; "/get//a" -> {"get", "", "a"}.
Segments SplitTarget(std::string_view target);

char LowerAscii(char c);
std::string Lowered(std::string_view text);
// Without leading and trailing blanks and tabs.
std::string_view TrimBlanks(std::string_view text);

constexpr std::size_t kMaxRequestBytes = 64 * 1024;

// True once the header block is complete (the first CR LF CR LF) or the request has
// grown to the size limit; for a request whose body is read (a PUT under /api/), once the body
// too is complete, or at once when it is malformed or cannot fit within the limit. `scannedBefore`
// is how much of the buffer an earlier call already searched, so arrivals in many small pieces stay linear.
bool RequestReady(std::string_view buffer, std::size_t scannedBefore, std::size_t limit = kMaxRequestBytes);

} // namespace pontivo
