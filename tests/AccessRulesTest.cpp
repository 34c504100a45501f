#include "AccessRules.h"
#include "IpAddress.h"

#include <gtest/gtest.h>

using namespace pontivo;

namespace {

TEST(DecideAccessTest, HostFirstThenOriginThenWhetherTheCommandWrites)
{
    AccessRules rules;
    ASSERT_EQ(ReadHostList("localhost, [::1]:8085,127.0.0.1", rules.allowedHosts) +
                  ReadOriginList("http://LocalHost:8085", rules.allowedOrigins), "");
    const auto [serve, shareless, refuse] = std::tuple(Access::Serve, Access::ServeWithoutCors, Access::Refuse);
    const std::vector<std::tuple<std::string, std::string, Access>> rows{
        {"Host: LocalHost:9\r\n", "set", serve}, {"host:[::1]\r\n", "reset", serve}, {"Host: ::1\r\n", "put", serve},
        {"Host: 127.0.0.1\r\nOrigin: http://localhost:8085\r\n", "push", serve}, {"Host: evil\r\n", "get", refuse},
        {"Host: localhost.\r\n", "test", refuse}, {"", "test", refuse}, {"\r\nHost: localhost\r\n", "test", refuse},
        {"X-Host: localhost\r\n", "test", refuse}, {"Host: localhost\r\norigin: null\r\n", "files", shareless},
        {"Host: localhost\r\nOrigin: http://evil\r\n", "get", shareless},
        {"Host: localhost\r\nOrigin: http://localhost:8086\r\n", "setlike", refuse},
        {"Host: localhost:1\r\n", "set", serve}, {"Host: localhost:65535\r\n", "set", serve},
        {"Host: localhost:0\r\n", "get", refuse}, {"Host: localhost:65536\r\n", "get", refuse},
        {"Host: localhost:\r\n", "get", refuse}, {"Host: localhost:065535\r\n", "get", refuse},
        {"Host: localhost\r\nOrigin: HTTP://LOCALHOST:8085\r\n", "reset", serve},
        {"Host: localhost\r\nOrigin: http://localhost:8085/\r\n", "reset", refuse}};
    for (const auto& [headers, command, access] : rows)
        EXPECT_EQ(DecideAccess(rules, "GET / HTTP/1.1\r\n" + headers + "\r\n", command), access) << headers << command;
    EXPECT_EQ(DecideAccess({}, "GET / HTTP/1.1\r\nOrigin: http://evil\r\n\r\n", "reset"), serve);
    std::string writers;
    for (const char* command : {"test", "timer", "com", "get", "getlike", "set", "setlike", "put", "putlike", "push",
                                "pushlike", "unset", "unsetlike", "reset", "files", "events"})
        writers += ChangesState(command) ? std::string(command) + " " : "";
    EXPECT_EQ(writers, "set setlike put putlike push pushlike unset unsetlike reset ");
}

TEST(AccessListsTest, EveryEntryIsCheckedAndTheFirstWrongOneNamed)
{
    const std::vector<std::tuple<bool, std::string, std::string>> rows{ // origins?, list, wrong entry
        {true, "http://a.b:8085, https://[::1]:1,app+x://c", ""}, {true, "http://a/", "'http://a/'"}, {true, "a.b", "'a.b'"},
        {true, "http://a:0", "'http://a:0'"}, {true, "1http://a", "'1http://a'"}, {true, "http://a,,http://b", "''"},
        {true, "http://", "'http://'"}, {true, "http://a:65536", "65536"}, {false, "pi.local,::1,[fe80::1]:80,10.0.0.2", ""},
        {false, "a b", "'a b'"}, {false, "", "''"}, {false, "[::1", "'[::1'"}, {false, "a/b", "'a/b'"}, {false, "a:x", "'a:x'"},
        {true, "http://a:1,http://a:65535", ""}, {false, "a:65536", "65536"}, {false, "a:0", "'a:0'"}};
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
