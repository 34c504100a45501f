#include "http/AccessRules.h"
#include "http/HttpRequest.h"
#include "net/IpAddress.h"

#include <gtest/gtest.h>

using namespace pontivo;

namespace {

TEST(DecideAccessTest, HostFirstThenOriginThenWhetherTheCommandWrites)
{
    AccessRules rules;
    ASSERT_EQ(ReadHostList("localhost, [::1]:8085,127.0.0.1", rules.allowedHosts) +
                  ReadOriginList("http://LocalHost:8085,Self", rules.allowedOrigins), "");
    const auto [serve, shareless, refuse] = std::tuple(Access::Serve, Access::ServeWithoutCors, Access::Refuse);
    const auto [R, W] = std::tuple(Effect::Reads, Effect::Writes);
    const std::vector<std::tuple<std::string, Effect, Access>> rows{
        {"Host: LocalHost:9\r\n", W, serve}, {"host:[::1]\r\n", W, serve}, {"Host: ::1\r\n", W, serve},
        {"Host: 127.0.0.1\r\nOrigin: http://localhost:8085\r\n", W, serve}, {"Host: evil\r\n", R, refuse},
        {"Host: localhost.\r\n", R, refuse}, {"", R, refuse}, {"\r\nHost: localhost\r\n", R, refuse},
        {"X-Host: localhost\r\n", R, refuse}, {"Host: localhost\r\norigin: null\r\n", R, shareless},
        {"Host: localhost\r\nOrigin: http://evil\r\n", R, shareless}, {"Host: ::1\r\nOrigin: http://localhost:8086\r\n", W, refuse},
        {"Host: localhost:1\r\n", W, serve}, {"Host: localhost:65535\r\n", W, serve},
        {"Host: localhost:0\r\n", R, refuse}, {"Host: localhost:65536\r\n", R, refuse},
        {"Host: localhost:\r\n", R, refuse}, {"Host: localhost:065535\r\n", R, refuse},
        {"Host: ::1\r\nOrigin: HTTP://LOCALHOST:8085\r\n", W, serve}, {"Host: ::1\r\nOrigin: http://localhost:8085/\r\n", W, refuse},
        {"HOST:\tlocalhost \r\nOrigin:http://LOCALHOST:8085\t\r\n", W, serve},
        {"Host: LocalHost:9\r\nOrigin: http://localhost:9\r\n", W, serve}, {"Host: ::1\r\nOrigin: self\r\n", W, refuse},
        {"Host: localhost:9\r\nOrigin: http://localhost:8\r\n", W, refuse}, {"Host: ::1\r\nSec-Fetch-Site: none\r\n", W, serve},
        {"Host: localhost:9\r\nOrigin: https://localhost:9\r\n", W, refuse}, {"Host: ::1\r\nSec-fetch-site: cross-site\r\n", W, refuse},
        {"Host: ::1\r\nSec-Fetch-Site: Same-Site \r\n", W, refuse}, {"Host: ::1\r\nSec-Fetch-Site: cross-site\r\n", R, serve},
        {"Host: ::1\r\nSec-Fetch-Site: same-origin\r\n", W, serve},
        {"Host: localhost:9\r\nSec-Fetch-Site: cross-site\r\nOrigin: http://localhost:9\r\n", W, serve}};
    for (const auto& [headers, effect, access] : rows)
        EXPECT_EQ(DecideAccess(rules, ParseRequest("GET / HTTP/1.1\r\n" + headers + "\r\n"), effect), access) << headers;
    EXPECT_EQ(DecideAccess({}, ParseRequest("GET / HTTP/1.1\r\nOrigin: http://evil\r\nSec-Fetch-Site: cross-site\r\n\r\n"), W), serve);
}

TEST(AccessListsTest, EveryEntryIsCheckedAndTheFirstWrongOneNamed)
{
    const std::vector<std::tuple<bool, std::string, std::string>> rows{ // origins?, list, wrong entry
        {true, "http://a.b:8085, https://[::1]:1,app+x://c", ""}, {true, "http://a/", "'http://a/'"}, {true, "a.b", "'a.b'"},
        {true, "http://a:0", "'http://a:0'"}, {true, "1http://a", "'1http://a'"}, {true, "http://a,,http://b", "''"},
        {true, "http://", "'http://'"}, {true, "http://a:65536", "65536"}, {false, "pi.local,::1,[fe80::1]:80,10.0.0.2", ""},
        {false, "a b", "'a b'"}, {false, "", "''"}, {false, "[::1", "'[::1'"}, {false, "a/b", "'a/b'"}, {false, "a:x", "'a:x'"},
        {true, "http://a:1,http://a:65535", ""}, {false, "a:65536", "65536"}, {false, "a:0", "'a:0'"},
        {true, "SELF, http://a", ""}, {true, "selfish", "'selfish'"}};
    for (const auto& [origins, list, wrong] : rows) {
        std::vector<std::string> entries;
        const std::string error = origins ? ReadOriginList(list, entries) : ReadHostList(list, entries);
        EXPECT_TRUE(wrong.empty() ? error.empty() : error.find(wrong) != std::string::npos) << list << ": " << error;
    }
}

// What --bind takes: address literals in their plain form, as the listener binds them.
TEST(ParseIpAddressTest, PlainLiteralsOnly)
{
    const std::vector<std::pair<std::string, int>> rows{ // text, family (0: refused)
        {"127.0.0.1", 4}, {"0.0.0.0", 4}, {"::1", 6}, {"::", 6}, {"fe80::1:2", 6}, {"::ffff:10.0.0.1", 6}, {"", 0},
        {"localhost", 0}, {"127.1", 0}, {"256.0.0.1", 0}, {"1.2.3.4:80", 0}, {"[::1]", 0}, {" ::1", 0}, {"1::2::3", 0}};
    for (const auto& [text, family] : rows) {
        const auto ip = ParseIpAddress(text);
        EXPECT_EQ(ip ? (ip->v6 ? 6 : 4) : 0, family) << text;
    }
}

} // namespace
