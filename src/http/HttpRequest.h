#pragma once

#include "store/Segments.h"

#include <optional>
#include <string>
#include <string_view>

namespace pontivo {

struct ParsedRequest {
    bool methodAccepted = false; // "GET ", "PUT " or "POST ", exact case
    std::string target;
    Segments segments;           // element 0 is the command as written
    std::string command;         // first segment lower-cased, "test" when there is none
};

// Only the request line is looked at; headers and body are ignored.
ParsedRequest ParseRequest(std::string_view requestText);

// "/get/a/" -> {"get", "a"}; "/" and "" -> {}; "/get//a" -> {"get", "", "a"}.
Segments SplitTarget(std::string_view target);

// The request line's first field, and its second (as ParsedRequest::target), whatever the method.
std::string_view RequestMethod(std::string_view requestText);
std::string_view RequestTarget(std::string_view requestText);
// The JSON API's targets: proper HTTP, any method.
bool IsApiTarget(std::string_view target);
// A PUT under /api/ is the one request whose body the server reads.
bool ReadsBody(std::string_view requestText);
// Its body's length: the Content-Length line of the header block, 0 without one; nothing when that
// line is not a plain number or the body comes with a Transfer-Encoding instead.
std::optional<std::size_t> DeclaredBodyLength(std::string_view requestText);

} // namespace pontivo

namespace pontivo {

constexpr std::size_t kMaxRequestBytes = 64 * 1024;

// True once the header block is complete (the first CR LF CR LF) or the request has
// grown to the size limit; for a request whose body is read, once the body too is complete, or
// at once when it is malformed or cannot fit within the limit. `scannedBefore` is how much of the buffer an earlier call
// already searched, so arrivals in many small pieces stay linear.
bool RequestReady(std::string_view buffer, std::size_t scannedBefore, std::size_t limit = kMaxRequestBytes);

} // namespace pontivo
