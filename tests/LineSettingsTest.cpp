#include "LineSettings.h"

#include <gtest/gtest.h>

namespace pontivo {
namespace {

TEST(LineSettingsTest, ReadsEveryField)
{
    const auto parsed = ParseLineSettings("115200,E,7,2");
    ASSERT_TRUE(parsed.settings) << parsed.error;
    EXPECT_EQ(parsed.settings->baudRate, 115200);
    EXPECT_EQ(parsed.settings->parity, LineSettings::Parity::Even);
    EXPECT_EQ(parsed.settings->dataBits, 7);
    EXPECT_EQ(parsed.settings->stopBits, LineSettings::StopBits::Two);
    EXPECT_EQ(ParseLineSettings("9600,s,5,1.5").settings->stopBits, LineSettings::StopBits::OneAndHalf);
}

TEST(LineSettingsTest, RefusesWhatThePortCannotTake)
{
    const std::vector<std::pair<std::string, std::string>> cases{
        {"9600,x,8,1", "parity"},  {"9600,n,9,1", "data bits"}, {"9600,n,8,3", "stop bits"},
        {"fast,n,8,1", "speed"},   {"0,n,8,1", "speed"},        {"9600,n,8", "expected"},
        {"", "expected"},          {"9600,no,8,1", "parity"},
    };
    for (const auto& [text, why] : cases) {
        const auto parsed = ParseLineSettings(text);
        EXPECT_FALSE(parsed.settings) << text;
        EXPECT_NE(parsed.error.find(why), std::string::npos) << text << ": " << parsed.error;
    }
}

} // namespace
} // namespace pontivo
