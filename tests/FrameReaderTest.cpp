#include "FrameReader.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace pontivo {
namespace {

using Frames = std::vector<std::pair<std::string, std::string>>;

Frames FeedAll(FrameReader& reader, const std::vector<std::string>& reads)
{
    Frames frames;
    for (const std::string& read : reads)
        reader.Feed(read, [&](std::string_view name, std::string_view value) { frames.emplace_back(name, value); });
    return frames;
}

struct FrameCase {
    std::string stream;
    Frames expected;
};

class FrameReaderTest : public ::testing::TestWithParam<FrameCase> {};

TEST_P(FrameReaderTest, WholeStream)
{
    FrameReader reader;
    EXPECT_EQ(FeedAll(reader, {GetParam().stream}), GetParam().expected);
}

// However the stream is cut into reads, the frames come out the same.
TEST_P(FrameReaderTest, CutAtEveryPositionAndByteByByte)
{
    const std::string& stream = GetParam().stream;
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        FrameReader reader;
        EXPECT_EQ(FeedAll(reader, {stream.substr(0, cut), stream.substr(cut)}), GetParam().expected) << cut;
    }
    std::vector<std::string> bytes;
    for (const char c : stream)
        bytes.emplace_back(1, c);
    FrameReader reader;
    EXPECT_EQ(FeedAll(reader, bytes), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, FrameReaderTest,
    ::testing::Values(
        FrameCase{"{temp=21}", {{"temp", "21"}}},
        FrameCase{"{a=1}{b=2}", {{"a", "1"}, {"b", "2"}}},
        FrameCase{"{a=1}\r\n{a=2}\r\n", {{"a", "1"}, {"a", "2"}}},
        FrameCase{"noise{a=1}", {{"a", "1"}}},
        FrameCase{"x=5}{a=1}", {{"a", "1"}}}, // text before the first "{" is not a frame
        FrameCase{"x=5}", {}},
        FrameCase{"{a=1}{b=22}", {{"a", "1"}, {"b", "22"}}},
        FrameCase{"{a=b=c}", {{"a", "b"}}},
        FrameCase{"{a}{a=1", {}},
        FrameCase{"{=5}{a=}", {{"", "5"}, {"a", ""}}},
        FrameCase{"{ a = 5 }", {{" a ", " 5 "}}},
        FrameCase{"{{a=1}", {{"a", "1"}}},
        FrameCase{"{b{c=3}", {{"c", "3"}}}, // "{" restarts an unfinished frame
        FrameCase{"{x\r\ny=1\n}", {{"x\r\ny", "1\n"}}},
        FrameCase{"}}{a=1}}", {{"a", "1"}}},
        FrameCase{std::string("{n\0=\xff}", 6), {{std::string("n\0", 2), "\xff"}}},
        FrameCase{"", {}}));

TEST(FrameReaderLimitTest, OverlongFrameIsDroppedAndTheNextOneRead)
{
    FrameReader reader;
    const std::string longValue(FrameReader::kMaxFrameBytes, 'v');
    EXPECT_EQ(FeedAll(reader, {"{a=" + longValue.substr(0, 100), longValue + "}{b=2}"}), (Frames{{"b", "2"}}));
    // Exactly at the limit still counts.
    const std::string body = "a=" + std::string(FrameReader::kMaxFrameBytes - 2, 'v');
    EXPECT_EQ(FeedAll(reader, {"{" + body + "}"}).size(), 1u);
}

TEST(FrameReaderLimitTest, MegabytesWithoutBracesKeepNothing)
{
    FrameReader reader;
    const std::string noise(1 << 20, 'x');
    EXPECT_TRUE(FeedAll(reader, {"{", noise, noise, "}"}).empty());
    EXPECT_EQ(FeedAll(reader, {"{k=v}"}), (Frames{{"k", "v"}}));
}

TEST(FrameReaderLimitTest, ResetForgetsAnUnfinishedFrame)
{
    FrameReader reader;
    FeedAll(reader, {"{a=1"});
    reader.Reset();
    EXPECT_TRUE(FeedAll(reader, {"2}{b=3}"}).size() == 1);
}

} // namespace
} // namespace pontivo
