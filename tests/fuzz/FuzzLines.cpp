// The board's lines in every format, cut anywhere, must give the same pairs as the stream whole,
// each within the cap, and counted.
#include "serial/BoardReader.h"
#include "FuzzCheck.h"
#include "FuzzPieces.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <string>

namespace {

Pairs Read(pontivo::FrameFormat format, const std::string& stream, std::uint32_t seed, bool whole)
{
    pontivo::BoardReader reader(format);
    Pairs pairs = ReadInPieces(reader, stream, seed, whole);
    FUZZ_CHECK(reader.Received() == pairs.size());
    return pairs;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider provider(data, size);
    const auto seed = provider.ConsumeIntegral<std::uint32_t>();
    const auto format = static_cast<pontivo::FrameFormat>(provider.ConsumeIntegralInRange(1, 3));
    const std::string stream = provider.ConsumeRemainingBytesAsString();
    const Pairs whole = Read(format, stream, seed, true);
    FUZZ_CHECK(Read(format, stream, seed, false) == whole);
    for (const auto& [name, value] : whole) {
        FUZZ_CHECK(name.size() + value.size() < pontivo::FrameReader::kMaxFrameBytes);
        FUZZ_CHECK(name.find('\n') == std::string::npos || format == pontivo::FrameFormat::Json);
        if (format == pontivo::FrameFormat::Lines)
            FUZZ_CHECK(!name.empty() && !value.empty() && name.find_first_of(", \t\r:=") == std::string::npos);
    }
    return 0;
}
