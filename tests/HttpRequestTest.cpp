#include "HttpRequest.h"

#include <gtest/gtest.h>

namespace pontivo {
namespace {

struct ParseCase {
    const char* request;
    bool accepted;
    const char* command;
    Segments segments;
};

class ParseRequestTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseRequestTest, TargetSegmentsAndCommand)
{
    const ParseCase& c = GetParam();
    const ParsedRequest parsed = ParseRequest(c.request);
    EXPECT_EQ(parsed.methodAccepted, c.accepted);
    if (c.accepted) {
        EXPECT_EQ(parsed.command, c.command);
        EXPECT_EQ(parsed.segments, c.segments);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Requests, ParseRequestTest,
    ::testing::Values(
        ParseCase{"GET / HTTP/1.1\r\n\r\n", true, "test", {}},
        ParseCase{"GET // HTTP/1.1\r\n\r\n", true, "test", {}},
        ParseCase{"GET  HTTP/1.1\r\n\r\n", true, "test", {}}, // two blanks: empty target
        ParseCase{"GET /test/ HTTP/1.1\r\n", true, "test", {"test"}},
        ParseCase{"GET /TEST/a/b HTTP/1.1\r\n", true, "test", {"TEST", "a", "b"}},
        ParseCase{"PUT /Get/x HTTP/1.0\r\n", true, "get", {"Get", "x"}},
        ParseCase{"POST /set/a/1 HTTP/1.1\r\n\r\nbody/with/slashes", true, "set", {"set", "a", "1"}},
        ParseCase{"GET /get//a HTTP/1.1\r\n", true, "get", {"get", "", "a"}},
        ParseCase{"GET /set/a// HTTP/1.1\r\n", true, "set", {"set", "a", ""}},
        ParseCase{"GET /test?x=1 HTTP/1.1\r\n", true, "test?x=1", {"test?x=1"}},
        ParseCase{"GET /set/msg/hello%20world HTTP/1.1\r\n", true, "set", {"set", "msg", "hello%20world"}},
        ParseCase{"GET /get/a", true, "get", {"get", "a"}}, // no CR LF at all: whole text is the line
        ParseCase{"GET /a\xff\x01/b HTTP/1.1\r\n", true, "a\xff\x01", {"a\xff\x01", "b"}},
        ParseCase{"get /test HTTP/1.1\r\n", false, "", {}},
        ParseCase{"HEAD /test HTTP/1.1\r\n", false, "", {}},
        ParseCase{"OPTIONS /test HTTP/1.1\r\n", false, "", {}},
        ParseCase{"GET", false, "", {}},
        ParseCase{"", false, "", {}}));

TEST(SplitTargetTest, RemovesOnlyOneSlashAtEachEnd)
{
    EXPECT_EQ(SplitTarget("///"), (Segments{"", ""}));
    EXPECT_EQ(SplitTarget("a/b"), (Segments{"a", "b"}));
    EXPECT_EQ(SplitTarget("/a//"), (Segments{"a", ""}));
}

TEST(RequestReadyTest, WaitsForTheBlankLineEvenWhenItStraddlesArrivals)
{
    std::string buffer = "GET /test HTTP/1.1\r\nHost: x\r\n\r";
    EXPECT_FALSE(RequestReady(buffer, 0));
    const std::size_t scanned = buffer.size();
    buffer += "\n";
    EXPECT_TRUE(RequestReady(buffer, scanned));
}

TEST(RequestReadyTest, BareRequestLineIsNotReady)
{
    EXPECT_FALSE(RequestReady("GET /test HTTP/1.1\r\n", 0));
    EXPECT_FALSE(RequestReady("GET /set/", 0));
}

TEST(RequestReadyTest, OversizedRequestIsReadyWithoutBlankLine)
{
    const std::string big(kMaxRequestBytes, 'x');
    EXPECT_TRUE(RequestReady(big, 0));
    EXPECT_FALSE(RequestReady(big.substr(1), 0));
}

} // namespace
} // namespace pontivo
