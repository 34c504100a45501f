#include "api/ClockText.h"
#include "http/CorsHeader.h"
#include "http/HttpRequest.h"

#include <gtest/gtest.h>

using namespace pontivo;

namespace {

TEST(ParseRequestTest, TargetSegmentsAndCommand)
{
    const std::vector<std::tuple<std::string, std::string, Segments>> rows{
        {"GET / HTTP/1.1\r\n\r\n", "test", {}}, {"GET  HTTP/1.1\r\n\r\n", "test", {}}, // two blanks: no target
        {"GET /// HTTP/1.1\r\n", "", {"", ""}}, {"GET /set/a// HTTP/1.1\r\n", "set", {"set", "a", ""}},
        {"PUT /Get/x/ HTTP/1.0\r\n", "get", {"Get", "x"}}, {"GET /test?x=1 HTTP/1.1\r\n", "test?x=1", {"test?x=1"}},
        {"GET /set/m/a%20b HTTP/1.1\r\n", "set", {"set", "m", "a%20b"}},
        {"GET /get/a", "get", {"get", "a"}}, // no CR LF: the whole text is the request line
        {"GET /A\xff\x01/b HTTP/1.1\r\n", "a\xff\x01", {"A\xff\x01", "b"}},
        {"GET /@AZ[`az{/b HTTP/1.1\r\n", "@az[`az{", {"@AZ[`az{", "b"}}, // only A to Z change
        {"POST /x HTTP/1.1\r\n", "x", {"x"}},
        {"HEAD /set/a/1 HTTP/1.1\r\n", "", {}}, {"get /set/a/1 HTTP/1.1\r\n", "", {}}, // not cut: no command
    };
    for (const auto& [request, command, segments] : rows) {
        const HttpRequest parsed = ParseRequest(request);
        EXPECT_EQ(std::tie(parsed.urlMethod, parsed.command, parsed.segments), std::tuple(!request.starts_with("HEAD ") && !request.starts_with("get "), command, segments))
            << request;
    }
}

// Headers are the lines of the block up to the blank line, whatever their case and blanks; the body is the rest.
TEST(ParseRequestTest, HeaderBlockBodyAndDeclaredLength)
{
    using Length = std::optional<std::size_t>;
    const std::vector<std::tuple<std::string, std::optional<std::string>, std::optional<std::string>, Length>> rows{
        // after the request line: Host header, body, declared length
        {"HOST:\t a b \r\nHost: c\r\n\r\nHost: late", "a b", "Host: late", 0}, {"Host: h", "h", {}, 0},
        {"Host : h\r\n\r\n", {}, "", 0}, {"\r\nHost: x\r\n", {}, "Host: x\r\n", 0}, {"Hos\r\n\r\n\r\n", {}, "\r\n", 0},
        {"Content-length:  7 \r\n\r\n1234567", {}, "1234567", 7}, {"Content-Length: 7x\r\n\r\n", {}, "", {}},
        {"Content-Length:\r\n\r\n", {}, "", {}}, {"Content-Length: 1\r\ntransfer-encoding: x\r\n\r\n", {}, "", {}},
        {"Content-Length: 1\r\ncontent-length: 2\r\n\r\nxy", {}, "xy", {}}, {"Content-Length: 1\r\ncontent-length:  1\r\n\r\nx", {}, "x", 1},
    };
    for (const auto& [rest, host, body, length] : rows) {
        const std::string text = "PUT /api/x HTTP/1.1\r\n" + rest;
        const HttpRequest request = ParseRequest(text);
        EXPECT_EQ(std::tuple(request.Header("Host"), request.body, request.DeclaredBodyLength()), std::tie(host, body, length)) << rest;
        EXPECT_EQ(request.headBytes, body ? text.size() - body->size() : 0) << rest;
    }
    const HttpRequest bare = ParseRequest("DELETE /api/a%20b?x HTTP/1.1");
    EXPECT_EQ(std::tuple(bare.method, bare.target, bare.ApiTarget()), std::tuple("DELETE", "/api/a%20b?x", true));
}

TEST(RequestReadyTest, BlankLineEvenAcrossArrivalsOrTheSizeLimit)
{
    const std::string head = "GET /test HTTP/1.1\r\nHost: x\r\n\r";
    EXPECT_FALSE(RequestReady(head, 0));
    EXPECT_TRUE(RequestReady(head + "\n", head.size()));
    EXPECT_TRUE(RequestReady(std::string(kMaxRequestBytes, 'x'), 0));
    EXPECT_FALSE(RequestReady(std::string(kMaxRequestBytes - 1, 'x'), 0));
    // A PUT under /api/ waits for exactly its body (a blank line in it is no header end), or not when it cannot fit or is no number.
    const std::string put = "PUT /api/variables/x HTTP/1.1\r\nContent-Length: ";
    for (const auto& [text, ready] : std::vector<std::pair<std::string, bool>>{
             {put + "5\r\n\r\n\r\n\r\n", false}, {put + "5\r\n\r\n\r\n\r\nx", true}, {put + "65480\r\n\r\n", false},
             {put + "65481\r\n\r\n", true}, {put + "5x\r\n\r\n", true}, {"GET /api/x HTTP/1.1\r\nContent-Length: 1\r\n\r\n", true}})
        EXPECT_EQ(RequestReady(text, text.size() - 1), ready) << text;
}

TEST(BuildCorsHeaderTest, EchoesTheOriginLine)
{
    const std::string allow = "Access-Control-Allow-Origin: ";
    const std::vector<std::pair<std::string, std::string>> rows{
        {"GET / HTTP/1.1\r\nHost: h\r\nOrigin:  http://a.b:8 \r\n\r\n", allow + " http://a.b:8 "},
        {"GET / HTTP/1.1\r\nOrigin: \r\n\r\n", allow}, {"GET / HTTP/1.1\r\nOrigin: a\rb\nc\r\n\r\n", allow + "abc"},
        {"GET / HTTP/1.1\r\norigin: x\r\n\r\n", ""}, {"GET / HTTP/1.1\r\nOrigin:x\r\n\r\n", ""},
        {"GET / HTTP/1.1\r\nX-Origin: x\r\n\r\n", ""}, {"Origin: x\r\n\r\n", ""}, {"GET / HTTP/1.1\r\n\r\nOrigin: b\r\n", ""}, {"GET / HTTP/1.1\r\nOrigin: x", ""},
    };
    for (const auto& [request, line] : rows)
        EXPECT_EQ(BuildCorsHeader(ParseRequest(request)), line) << request;
}

TEST(ClockTextTest, SevenSignificantDigitsWithoutTrailingZerosOrExponent)
{
    const std::vector<std::tuple<float, const char*, const char*>> rows{
        {0.0f, ".", "0"}, {12.5f, ",", "12,5"}, {60.0f, ".", "60"}, {45296.123f, ".", "45296.12"},
        {86399.99f, ".", "86399.99"}, {0.00001f, ".", "0.00001"}, {1234567.0f, ".", "1234567"},
        {12345678.0f, ".", "12345680"}, {0.5f, ".", "0.5"}, {-1.5f, ".", "-1.5"}, {1.0f, ".", "1"},
    };
    for (const auto& [seconds, separator, text] : rows)
        EXPECT_EQ(ClockText(seconds, separator), text) << seconds;
}

} // namespace
