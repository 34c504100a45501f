#include "MqttOptions.h"
#include "MqttTopics.h"
#include "RetrySchedule.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace pontivo;

namespace {

// Each name has one level, and that level reads back as the name and as nothing else.
TEST(MqttTopicTest, NamesEncodeToOneLevelThatDecodesBack)
{
    const std::vector<std::pair<std::string, std::string>> rows{
        {"temp", "temp"}, {"", "%"}, {"$state", "%24state"}, {"a$", "a$"}, {"a/b", "a%2Fb"}, {"+", "%2B"},
        {"#", "%23"}, {"100%", "100%25"}, {"%2F", "%252F"}, {std::string("n\0", 2), "n%00"}, {"a b", "a b"},
        {"x\ny\x7f", "x%0Ay%7F"}, {"\xc3\xa9t\xc3\xa9", "\xc3\xa9t\xc3\xa9"}, // UTF-8 stays readable
        {"\xff\xc3", "%FF%C3"}, {"\xc2\x85", "%C2%85"}, {"\xed\xa0\x80", "%ED%A0%80"}, // refused by brokers
        {"\xc0\xaf", "%C0%AF"}, {"\xef\xbf\xbf", "%EF%BF%BF"}, {"\x1f~", "%1F~"}, {"\xc2\x9f", "%C2%9F"},
        {"\xc2\xa0", "\xc2\xa0"}, {"\xe0\x9f\xbf", "%E0%9F%BF"}, {"\xe0\xa0\x80", "\xe0\xa0\x80"},
        {"\xed\x9f\xbf", "\xed\x9f\xbf"}, {"\xed\xbf\xbf", "%ED%BF%BF"}, {"\xee\x80\x80", "\xee\x80\x80"},
        {"\xef\xb7\x8f", "\xef\xb7\x8f"}, {"\xef\xb7\x90", "%EF%B7%90"}, {"\xef\xb7\xaf", "%EF%B7%AF"},
        {"\xef\xb7\xb0", "\xef\xb7\xb0"}, {"\xf4\x8f\xbf\xbd", "\xf4\x8f\xbf\xbd"},
        {"\xf4\x90\x80\x80", "%F4%90%80%80"}, {"\xf8\x90\x80\x80", "%F8%90%80%80"}};
    for (const auto& [name, level] : rows) {
        EXPECT_EQ(EncodeTopicLevel(name), level) << name;
        EXPECT_EQ(DecodeTopicLevel(level), name) << level;
    }
    for (const std::string level : {"a/b", "%2f", "%2", "%zz", "$x", "a%41", "+", "%%", ""})
        EXPECT_EQ(DecodeTopicLevel(level), std::nullopt) << level;
}

TEST(MqttTopicTest, OnlyPrefixLevelSetIsASet)
{
    const std::vector<std::pair<std::string, std::optional<std::string>>> rows{
        {"home/pontivo/temp/set", "temp"}, {"home/pontivo/a%2Fb/set", "a/b"}, {"home/pontivo/%/set", ""},
        {"home/pontivo/set/set", "set"}, {"home/pontivo/a/b/set", std::nullopt}, {"home/pontivo/temp", std::nullopt},
        {"home/pontivox/temp/set", std::nullopt}, {"home/pontivo//set", std::nullopt},
        {"home/pontivo/$state/set", std::nullopt}, {"other/temp/set", std::nullopt}, {"home/pontivo/set", std::nullopt},
        {"home/pontivo/x/set", "x"}, {"home/pontivo/x/sets", std::nullopt}, {"home/pontivo/x/Set", std::nullopt}};
    for (const auto& [topic, name] : rows)
        EXPECT_EQ(NameFromSetTopic("home/pontivo", topic), name) << topic;
}

TEST(MqttOptionsTest, UrlsPrefixesAndPasswordFiles)
{
    const auto read = [](const MqttTexts& texts) {
        MqttOptions options;
        const std::string error = ReadMqttOptions(texts, options);
        return std::tuple(error.empty() ? "" : error.substr(0, error.find(' ')), options.tls, options.host,
                          options.port, options.prefix);
    };
    using Row = std::pair<MqttTexts, std::tuple<std::string, bool, std::string, int, std::string>>;
    const std::vector<Row> rows{{{"mqtt://broker"}, {"", false, "broker", 1883, "pontivo"}},
        {{"mqtts://broker:9000/", "a/b"}, {"", true, "broker", 9000, "a/b"}},
        {{"mqtts://[::1]"}, {"", true, "::1", 8883, "pontivo"}}, {{"mqtt://[::1]:1884"}, {"", false, "::1", 1884, "pontivo"}},
        {{"mqtt://b:1"}, {"", false, "b", 1, "pontivo"}}, {{"mqtts://b:65535/", "a"}, {"", true, "b", 65535, "a"}}};
    for (const auto& [texts, expected] : rows)
        EXPECT_EQ(read(texts), expected) << texts.url;
    for (const std::string url : {"http://broker", "mqtt://", "mqtt://broker:", "mqtt://broker:0", "mqtt://b:70000",
                                  "mqtt://b:1x", "mqtt://user@b", "mqtt://b/topic", "mqtt://[::1", "broker", "mqtt://b:65536",
                                  "mqtt://[::1]x", "mqtt://[]"})
        EXPECT_EQ(std::get<0>(read({url})), "--mqtt") << url;
    for (const std::string prefix : {"a/+", "#", "$SYS", "a//b", "a/", "/a"})
        EXPECT_EQ(std::get<0>(read({"mqtt://b", prefix})), "--mqtt-prefix") << prefix;
    EXPECT_EQ(std::get<0>(read({"", "p"})), "--mqtt-prefix,"); // a prefix without a broker is a mistake

    const auto file = std::filesystem::temp_directory_path() / "pontivo-mqtt-password";
    std::ofstream(file) << "s3cret\r\n";
    MqttOptions options;
    EXPECT_EQ(ReadMqttOptions({"mqtt://b", "", "me", file.string()}, options), "");
    EXPECT_EQ(options.password, "s3cret");
    std::filesystem::remove(file);
    EXPECT_NE(ReadMqttOptions({"mqtt://b", "", "me", file.string()}, options).find("cannot be read"), std::string::npos);
}

// Attempts on the test's own clock: each one fails (x), or succeeds and the link drops at once (o).
TEST(RetryScheduleTest, OneSecondDoublingToThirtyAndOneAgainAfterASuccess)
{
    const std::vector<std::pair<std::string, std::vector<int>>> rows{ // outcomes, then the attempts' times in s
        {"xxxxxxxx", {0, 1, 3, 7, 15, 31, 61, 91, 121}}, {"o", {0, 1}}, {"xxoxx", {0, 1, 3, 4, 6, 10}},
        {"xxxxxxox", {0, 1, 3, 7, 15, 31, 61, 62, 64}}};
    for (const auto& [outcomes, seconds] : rows) {
        RetrySchedule schedule;
        std::vector<int> attempts{0};
        for (const char outcome : outcomes) {
            if (outcome == 'o')
                schedule.Succeeded();
            attempts.push_back(attempts.back() + schedule.NextWaitMs());
        }
        std::vector<int> expected;
        for (const int second : seconds)
            expected.push_back(second * 1000);
        EXPECT_EQ(attempts, expected) << outcomes;
    }
}

} // namespace
