#include "CommandLine.h"
#include "LeadingNumber.h"

#include <gtest/gtest.h>

namespace pontivo {
namespace {

TEST(LeadingNumberTest, NumberAtTheStartOfTheText)
{
    const std::vector<std::pair<std::string, double>> cases{
        {"8085", 8085}, {" 80x", 80}, {"abc", 0}, {"", 0}, {"-5", -5}, {"12.5", 12.5}, {"+7", 7}, {"/dev/ttyUSB0", 0},
    };
    for (const auto& [text, value] : cases)
        EXPECT_DOUBLE_EQ(LeadingNumber(text), value) << text;
}

TEST(LeadingNumberTest, HttpPortMustBeUsable)
{
    EXPECT_EQ(HttpPortFromText("8085"), std::uint16_t{8085});
    EXPECT_EQ(HttpPortFromText("80.4"), std::uint16_t{80});
    EXPECT_EQ(HttpPortFromText("65535"), std::uint16_t{65535});
    for (const std::string refused : {"0", "abc", "", "65536", "99999", "-80", "0.4"})
        EXPECT_FALSE(HttpPortFromText(refused).has_value()) << refused;
}

TEST(LeadingNumberTest, CommPortIsSixteenBitSigned)
{
    EXPECT_EQ(CommPortFromText("16"), std::int16_t{16});
    EXPECT_EQ(CommPortFromText("x"), std::int16_t{0});
    EXPECT_EQ(CommPortFromText("2.5"), std::int16_t{2}); // half to even
    EXPECT_FALSE(CommPortFromText("40000").has_value());
}

TEST(CommandLineTest, DefaultsAndOptions)
{
    const CommandLine defaults = ParseCommandLine({});
    EXPECT_FALSE(defaults.headless);
    EXPECT_EQ(defaults.httpPort, "8085");
    EXPECT_EQ(defaults.comPort, "16");
    EXPECT_EQ(defaults.comSettings, "9600,n,8,1");

    const CommandLine line =
        ParseCommandLine({"--headless", "--http-port", "9000", "--com-port=/dev/ttyACM0", "--com-settings", ""});
    EXPECT_TRUE(line.error.empty()) << line.error;
    EXPECT_TRUE(line.headless);
    EXPECT_EQ(line.httpPort, "9000");
    EXPECT_EQ(line.comPort, "/dev/ttyACM0");
    EXPECT_EQ(line.comSettings, "");
}

TEST(CommandLineTest, MistakesAreReported)
{
    EXPECT_NE(ParseCommandLine({"--http-port"}).error.find("needs a value"), std::string::npos);
    EXPECT_NE(ParseCommandLine({"--bogus"}).error.find("--bogus"), std::string::npos);
    EXPECT_NE(ParseCommandLine({"--http-port", "9000"}).error.find("--headless"), std::string::npos);
    EXPECT_TRUE(ParseCommandLine({"--help"}).help);
    EXPECT_TRUE(ParseCommandLine({"--version"}).version);
}

} // namespace
} // namespace pontivo
