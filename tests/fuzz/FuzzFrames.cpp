// The board's stream cut anywhere must give the same frames as the stream whole.
#include "serial/FrameReader.h"
#include "FuzzCheck.h"
#include "FuzzPieces.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <string>

namespace {

Pairs Read(const std::string& stream, std::uint32_t seed, bool whole)
{
    pontivo::FrameReader reader;
    return ReadInPieces(reader, stream, seed, whole);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider provider(data, size);
    const auto seed = provider.ConsumeIntegral<std::uint32_t>();
    const std::string stream = provider.ConsumeRemainingBytesAsString();
    const Pairs whole = Read(stream, seed, true);
    FUZZ_CHECK(Read(stream, seed, false) == whole);
    for (const auto& [name, value] : whole) {
        FUZZ_CHECK(name.find_first_of("{}=") == std::string::npos);
        FUZZ_CHECK(value.find_first_of("{}=") == std::string::npos);
        FUZZ_CHECK(name.size() + value.size() < pontivo::FrameReader::kMaxFrameBytes);
        FUZZ_CHECK(stream.find("{" + name + "=" + value) != std::string::npos);
    }
    return 0;
}
