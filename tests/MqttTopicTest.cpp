#include "broker/DiscoveryConfig.h"
#include "topics/MqttOptions.h"
#include "topics/MqttTopics.h"
#include "broker/RetrySchedule.h"

#include <gtest/gtest.h>

#include <map>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

using namespace pontivo;
using nlohmann::json;

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
        {{"mqtt://b:1"}, {"", false, "b", 1, "pontivo"}}, {{"mqtts://b:65535/", "a"}, {"", true, "b", 65535, "a"}},
        {{"127.0.0.1:1883"}, {"", false, "127.0.0.1", 1883, "pontivo"}}, {{"broker"}, {"", false, "broker", 1883, "pontivo"}},
        {{"[::1]:1884"}, {"", false, "::1", 1884, "pontivo"}}};
    for (const auto& [texts, expected] : rows)
        EXPECT_EQ(read(texts), expected) << texts.url;
    for (const std::string url : {"http://broker", "mqtt://", "mqtt://broker:", "mqtt://broker:0", "mqtt://b:70000",
                                  "mqtt://b:1x", "mqtt://user@b", "mqtt://b/topic", "mqtt://[::1", "tcp://b", "mqtt://b:65536",
                                  "mqtt://[::1]x", "mqtt://[]", "::1", "b:", ":1883", "b:0"})
        EXPECT_EQ(std::get<0>(read({url})), "--mqtt") << url;
    for (const std::string prefix : {"a/+", "#", "$SYS", "a//b", "a/", "/a", ""})
        EXPECT_EQ(std::get<0>(read({"mqtt://b", prefix})), "--mqtt-prefix") << prefix;
    EXPECT_EQ(std::get<0>(read({"", "p"})), "--mqtt-prefix,"); // a prefix without a broker is a mistake
    EXPECT_EQ(std::get<0>(read({.url = "", .discovery = "ha"})), "--mqtt-prefix,");
    MqttOptions options;
    for (const auto& [discovery, expected] : std::vector<std::pair<std::optional<std::string>, std::string>>{
             {std::nullopt, ""}, {"", "homeassistant"}, {"hub/x", "hub/x"}, {"hub/", "--mqtt-discoveryhub/"}, {"#", "--mqtt-discovery#"}})
        EXPECT_EQ(ReadMqttOptions({.url = "mqtt://b", .discovery = discovery}, options).substr(0, 16) + options.discovery, expected);
    for (const auto& [url, entities, expected] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"", "", "|1000"}, {"http://h:1//", "1", "http://h:1|1"}, {"https://h", "1000000", "https://h|1000000"},
             {"ftp://h", "", "--public-url"}, {"http://", "", "--public-url"}, {"http:///x", "", "--public-url"}, {"http://h x", "", "--public-url"},
             {"", "0", "--mqtt-entities"}, {"", "1000001", "--mqtt-entities"}, {"", "-1", "--mqtt-entities"}, {"", "5x", "--mqtt-entities"}}) {
        const std::string error = ReadMqttOptions({.url = "mqtt://b", .publicUrl = url, .entities = entities}, options);
        EXPECT_EQ(error.empty() ? options.publicUrl + "|" + std::to_string(options.maxEntities) : error.substr(0, error.find(' ')), expected) << url << entities;
    }

    const auto file = std::filesystem::temp_directory_path() / "pontivo-mqtt-password";
    std::ofstream(file) << "s3cret\r\n";
    EXPECT_EQ(ReadMqttOptions({.url = "mqtt://b", .user = "me", .passwordFile = file.string()}, options), "");
    EXPECT_EQ(options.password, "s3cret");
    std::filesystem::remove(file);
    EXPECT_NE(ReadMqttOptions({.url = "mqtt://b", .user = "me", .passwordFile = file.string()}, options).find("cannot be read"), std::string::npos);
}

// Object ids keep [a-zA-Z0-9-], double '_' and write any other byte as _HH: one id per name, and back. A
// description KIND[,UNIT[,MIN,MAX]] against a plain sensor: what each adds or takes away (null).
// Home Assistant's documented MQTT discovery keys per component (those Pontivo may use), the keys each needs,
// and the values it allows: a config with anything else is one the hub refuses or misreads.
void CheckHubKeys(const std::string& component, const json& config)
{
    const std::string common = " name unique_id device origin availability_topic payload_available payload_not_available ";
    const std::map<std::string, std::pair<std::string, std::string>> documented{ // keys, required
        {"sensor", {"state_topic unit_of_measurement device_class state_class", "state_topic"}},
        {"binary_sensor", {"state_topic payload_on payload_off device_class", "state_topic"}},
        {"switch", {"state_topic command_topic payload_on payload_off device_class", "command_topic"}},
        {"number", {"state_topic command_topic min max unit_of_measurement device_class", "command_topic"}},
        {"text", {"state_topic command_topic", "command_topic"}},
        {"button", {"command_topic payload_press device_class", "command_topic"}}};
    const auto& [keys, required] = documented.at(component);
    for (const auto& [key, value] : config.items())
        EXPECT_NE((common + keys + " ").find(" " + key + " "), std::string::npos) << component << ": " << key;
    EXPECT_TRUE(config.contains(required) && config["origin"].contains("name")) << component;
    for (const auto& [key, value] : config["device"].items())
        EXPECT_NE(std::string(" identifiers name model manufacturer sw_version configuration_url ").find(" " + key + " "), std::string::npos) << key;
    EXPECT_TRUE(config.value("state_class", "measurement") == "measurement" && config["device"]["configuration_url"].get<std::string>().starts_with("http"));
}

TEST(DiscoveryConfigTest, ObjectIdsTopicsAndDescriptionsMakeTheHubsEntities)
{
    for (const auto& [name, id] : std::vector<std::pair<std::string, std::string>>{
             {"temp", "temp"}, {"", "_"}, {"a_b", "a__b"}, {"zA-Z09", "zA-Z09"}, {"a b/\xc3\xa9", "a_20b_2F_C3_A9"}, {"\xff", "_FF"}}) {
        EXPECT_EQ(EncodeObjectId(name), id);
        EXPECT_EQ(DecodeObjectId(id), name) << id;
    }
    for (const std::string id : {"_2", "_zz", "_2f", "_41", "a b", "___", ""})
        EXPECT_EQ(DecodeObjectId(id), std::nullopt) << id;
    const DiscoveryConfig::Site site{"ha", "p/q", "2.0", "http://h:1"};
    for (const auto& [topic, name] : std::vector<std::pair<std::string, std::optional<std::string>>>{
             {"ha/switch/p_2Fq/led/config", "led"}, {"ha/sensor/p_2Fq/_/config", ""}, {"ha/switch/p/led/config", {}},
             {"ha/switch/p_2Fq/a/b/config", {}}, {"hax/switch/p_2Fq/led/config", {}}, {"ha/switch/p_2Fq/led/state", {}},
             {"ha/p_2Fq/led/config", {}}})
        EXPECT_EQ(DiscoveryConfig::NameFromTopic(site, topic), name) << topic;
    const json sensor = json::parse(DiscoveryConfig::For(site, "x_y", std::nullopt).value().payload);
    EXPECT_EQ(sensor, json({{"name", "x_y"}, {"unique_id", "pontivo_p_2Fq.x__y"}, {"state_topic", "p/q/x_y"},
        {"availability_topic", "p/q/$state"}, {"payload_available", "online"}, {"payload_not_available", "offline"},
        {"origin", {{"name", "Pontivo"}, {"sw_version", "2.0"}, {"support_url", "http://h:1/files/examples/"}}},
        {"device", {{"identifiers", {"pontivo_p_2Fq"}}, {"name", "p/q"}, {"model", "Pontivo"}, {"manufacturer", "Pontivo"},
                    {"sw_version", "2.0"}, {"configuration_url", "http://h:1/ui/"}}}}));
    const json command{{"command_topic", "p/q/x_y/set"}}, measured{{"state_class", "measurement"}};
    const json onOff{{"payload_on", "on"}, {"payload_off", "off"}}, none = json::object();
    const auto with = [&](json keys, const json& more) { return keys.update(more), keys; };
    const json celsius = with({{"unit_of_measurement", "\xc2\xb0""C"}}, measured);
    // description, component, keys beyond a plain sensor's, the device class left out
    const std::vector<std::tuple<std::string, std::string, json, std::string>> rows{
        {"sensor,\xc2\xb0""C", "sensor", celsius, ""}, {"sensor,%C2%B0C", "sensor", celsius, ""}, {"sensor%2C%c2%b0C", "sensor", celsius, ""},
        {"sensor,%", "sensor", with({{"unit_of_measurement", "%"}}, measured), ""}, {"sensor,%zz%4", "sensor", with({{"unit_of_measurement", "%zz%4"}}, measured), ""},
        {"sensor,", "sensor", none, ""}, {"sensor,,,", "sensor", none, ""}, {"sensor,,0,9", "sensor", measured, ""},
        {"sensor,\xc2\xb0""C,,,temperature", "sensor", with(celsius, {{"device_class", "temperature"}}), ""},
        {"sensor,,,,timestamp", "sensor", {{"device_class", "timestamp"}}, ""}, {"sensor,s,,,date", "sensor", {{"device_class", "date"}, {"unit_of_measurement", "s"}}, ""},
        {"sensor,\xc2\xb0""C,,,door", "sensor", celsius, "door"}, {"binary_sensor,,,,door", "binary_sensor", with(onOff, {{"device_class", "door"}}), ""},
        {"binary_sensor", "binary_sensor", onOff, ""}, {"switch", "switch", with(onOff, command), ""},
        {"switch,,,,outlet", "switch", with(with(onOff, command), {{"device_class", "outlet"}}), ""},
        {"number,rpm,0,255", "number", with({{"unit_of_measurement", "rpm"}, {"min", 0.0}, {"max", 255.0}}, command), ""},
        {"number,,-1.5,-1.5", "number", with({{"min", -1.5}, {"max", -1.5}}, command), ""}, {"text", "text", command, ""},
        {"text,,,,temperature", "text", command, "temperature"}, {"number,,0,1,timestamp", "number", with({{"min", 0.0}, {"max", 1.0}}, command), "timestamp"},
        {"button", "button", with({{"state_topic", nullptr}, {"payload_press", "1"}}, command), ""},
        {"button,,,,restart", "button", with({{"state_topic", nullptr}, {"payload_press", "1"}, {"device_class", "restart"}}, command), ""},
        {"number,,2,1", "sensor", none, ""}, {"number,rpm,0", "sensor", none, ""}, {"number,,0,1,2,3", "sensor", none, ""},
        {"number,,0,x", "sensor", none, ""}, {"number,,,1,power", "sensor", none, ""}, {"Switch", "sensor", none, ""}, {"", "sensor", none, ""}};
    for (const auto& [description, component, added, ignored] : rows) {
        const DiscoveryConfig config = DiscoveryConfig::For(site, "x_y", description).value();
        json expected = sensor;
        expected.merge_patch(added);
        EXPECT_EQ(std::tuple(config.topic, json::parse(config.payload), config.ignoredClass),
                  std::tuple("ha/" + component + "/p_2Fq/x__y/config", expected, ignored)) << description;
        CheckHubKeys(component, json::parse(config.payload));
    }
    EXPECT_FALSE(DiscoveryConfig::For(site, "$x", "switch")); // a description is no entity
    EXPECT_EQ(json::parse(DiscoveryConfig::For(site, "\xff", std::nullopt)->payload)["name"], "\xef\xbf\xbd");
    // Only configs carrying this instance's identifiers are ever cleared.
    for (const auto& [payload, ours] : std::vector<std::pair<std::string, bool>>{
             {R"({"unique_id":"pontivo_p_2Fq.a"})", true}, {R"({"device":{"identifiers":["x","pontivo_p_2Fq"]}})", true},
             {R"({"unique_id":"pontivo_p_2Fqa"})", false}, {R"({"unique_id":"other.a","device":{"identifiers":["p_2Fq"]}})", false},
             {R"({"unique_id":1,"device":{"identifiers":"pontivo_p_2Fq"}})", false}, {"", false}, {"{", false}, {"[]", false}})
        EXPECT_EQ(DiscoveryConfig::Ours(site, payload), ours) << payload;
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
