#include "CorsHeader.h"
#include "HttpResponse.h"

#include <gtest/gtest.h>

namespace pontivo {
namespace {

struct CorsCase {
    std::string request;
    std::string expected;
};

class BuildCorsHeaderTest : public ::testing::TestWithParam<CorsCase> {};

TEST_P(BuildCorsHeaderTest, EchoesTheOriginLine)
{
    EXPECT_EQ(BuildCorsHeader(GetParam().request), GetParam().expected);
}

const std::string kAllow = "Access-Control-Allow-Origin: ";

INSTANTIATE_TEST_SUITE_P(
    Requests, BuildCorsHeaderTest,
    ::testing::Values(
        CorsCase{"GET / HTTP/1.1\r\nOrigin: http://a.b:8080\r\n\r\n", kAllow + "http://a.b:8080"},
        CorsCase{"GET / HTTP/1.1\r\nHost: h\r\nOrigin:  spaced value \r\n\r\n", kAllow + " spaced value "},
        CorsCase{"GET / HTTP/1.1\r\norigin: x\r\n\r\n", ""},     // lower case
        CorsCase{"GET / HTTP/1.1\r\nOrigin:x\r\n\r\n", ""},      // no blank after the colon
        CorsCase{"GET / HTTP/1.1\r\nOrigin: \r\n\r\n", kAllow},   // empty value still gives the line
        CorsCase{"GET / HTTP/1.1\r\nOrigin: x", ""},             // value not ended by CR LF
        CorsCase{"Origin: x\r\n\r\n", ""},                       // must follow a CR LF
        CorsCase{"GET / HTTP/1.1\r\nOrigin: a\rb\nc\r\n\r\n", kAllow + "abc"},
        CorsCase{"GET / HTTP/1.1\r\nOrigin: first\r\nOrigin: second\r\n\r\n", kAllow + "first"},
        CorsCase{"POST / HTTP/1.1\r\n\r\nbody\r\nOrigin: late\r\n", kAllow + "late"}));

TEST(FrameResponseTest, ExactBytesWithoutCors)
{
    EXPECT_EQ(FrameResponse("Pontivo 2.0", "", "OK"),
              "HTTP/1.1 200 OK\r\nConnection: close\r\nServer: Pontivo 2.0\r\nContent-Length: 2\r\n\r\nOK");
}

TEST(FrameResponseTest, CorsLineStandsBeforeContentLength)
{
    EXPECT_EQ(FrameResponse("Pontivo 2.0", kAllow + "o", ""),
              "HTTP/1.1 200 OK\r\nConnection: close\r\nServer: Pontivo 2.0\r\n"
              "Access-Control-Allow-Origin: o\r\nContent-Length: 0\r\n\r\n");
}

TEST(FrameResponseTest, LengthCountsBytesOfBinaryBody)
{
    const std::string body("a\0\xff\r\n", 5);
    const std::string response = FrameResponse("P", "", body);
    EXPECT_NE(response.find("Content-Length: 5\r\n\r\n"), std::string::npos);
    EXPECT_EQ(response.substr(response.size() - 5), body);
}

} // namespace
} // namespace pontivo
