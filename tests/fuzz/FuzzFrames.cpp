// The board's stream cut anywhere must give the same frames as the stream whole.
#include "serial/FrameReader.h"
#include "FuzzCheck.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

using Frames = std::vector<std::pair<std::string, std::string>>;

Frames Read(const std::string& stream, std::uint32_t seed, bool whole)
{
    pontivo::FrameReader reader;
    Frames frames;
    const pontivo::FrameReader::Sink sink = [&](std::string_view name, std::string_view value) {
        frames.emplace_back(name, value);
    };
    std::minstd_rand random(seed);
    for (std::size_t at = 0; at < stream.size();) {
        const std::size_t piece = whole ? stream.size() : 1 + random() % 300;
        reader.Feed(std::string_view(stream).substr(at, piece), sink);
        at += piece;
    }
    return frames;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider provider(data, size);
    const auto seed = provider.ConsumeIntegral<std::uint32_t>();
    const std::string stream = provider.ConsumeRemainingBytesAsString();
    const Frames whole = Read(stream, seed, true);
    FUZZ_CHECK(Read(stream, seed, false) == whole);
    for (const auto& [name, value] : whole) {
        FUZZ_CHECK(name.find_first_of("{}=") == std::string::npos);
        FUZZ_CHECK(value.find_first_of("{}=") == std::string::npos);
        FUZZ_CHECK(name.size() + value.size() < pontivo::FrameReader::kMaxFrameBytes);
        FUZZ_CHECK(stream.find("{" + name + "=" + value) != std::string::npos);
    }
    return 0;
}
