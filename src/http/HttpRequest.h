#pragma once

#include "Segments.h"

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

} // namespace pontivo

namespace pontivo {

constexpr std::size_t kMaxRequestBytes = 64 * 1024;

// True once the header block is complete (the first CR LF CR LF) or the request has
// grown to the size limit. `scannedBefore` is how much of the buffer an earlier call
// already searched, so arrivals in many small pieces stay linear.
bool RequestReady(std::string_view buffer, std::size_t scannedBefore, std::size_t limit = kMaxRequestBytes);

} // namespace pontivo
