// Request text -> target, segments, command, CORS line and the readiness test.
#include "http/CorsHeader.h"
#include "FuzzCheck.h"
#include "http/HttpRequest.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <random>
#include <string>
#include <string_view>

namespace {

using namespace pontivo;

std::string Joined(const Segments& segments)
{
    std::string text;
    for (std::size_t i = 0; i < segments.size(); ++i)
        text.append(i ? "/" : "").append(segments[i]);
    return text;
}

void CheckParse(std::string_view text)
{
    const HttpRequest request = ParseRequest(text);
    const bool accepted = text.starts_with("GET ") || text.starts_with("PUT ") || text.starts_with("POST ");
    FUZZ_CHECK(request.urlMethod == accepted);
    const std::string_view line = text.substr(0, text.find("\r\n"));
    FUZZ_CHECK(line.starts_with(request.method) && request.method.find(' ') == std::string_view::npos);
    FUZZ_CHECK(!request.body || text.ends_with(*request.body));
    if (!accepted) {
        FUZZ_CHECK(request.command.empty() && request.segments.empty());
        return;
    }
    FUZZ_CHECK(line.find(request.target) != std::string_view::npos);
    FUZZ_CHECK(request.target.find(' ') == std::string::npos);

    // Splitting loses only one leading and one trailing "/".
    std::string_view bare = request.target;
    if (bare.starts_with('/'))
        bare.remove_prefix(1);
    if (bare.ends_with('/'))
        bare.remove_suffix(1);
    FUZZ_CHECK(Joined(request.segments) == bare);
    FUZZ_CHECK(request.segments == SplitTarget(request.target));

    const std::string& first = request.segments.empty() ? std::string("test") : request.segments.front();
    FUZZ_CHECK(request.command.size() == first.size());
    for (std::size_t i = 0; i < first.size(); ++i) {
        const char c = first[i];
        const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        FUZZ_CHECK(request.command[i] == lower);
    }
}

void CheckCors(std::string_view text)
{
    const std::string line = BuildCorsHeader(ParseRequest(text));
    FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos);
    const bool hasOrigin = text.find("\r\nOrigin: ") != std::string_view::npos;
    FUZZ_CHECK(line.empty() || (hasOrigin && line.starts_with("Access-Control-Allow-Origin: ")));
}

// Arrivals in pieces must become ready exactly when the whole text so far would.
void CheckReadiness(std::string_view text, std::uint32_t seed, std::size_t limit)
{
    std::minstd_rand random(seed);
    std::size_t have = 0;
    std::size_t scanned = 0;
    while (have < text.size()) {
        have = std::min(text.size(), have + 1 + random() % 64);
        const std::string_view buffer = text.substr(0, have);
        const bool expected = buffer.size() >= limit || buffer.find("\r\n\r\n") != std::string_view::npos;
        // A PUT under /api/ may wait on for its body, never less.
        const bool ready = RequestReady(buffer, scanned, limit);
        FUZZ_CHECK(text.starts_with("PUT /api/") ? !ready || expected : ready == expected);
        if (ready)
            return;
        scanned = have;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider provider(data, size);
    const auto seed = provider.ConsumeIntegral<std::uint32_t>();
    const auto limit = provider.ConsumeIntegralInRange<std::size_t>(1, 4096);
    const std::string text = provider.ConsumeRemainingBytesAsString();
    CheckParse(text);
    CheckCors(text);
    CheckReadiness(text, seed, limit);
    return 0;
}
