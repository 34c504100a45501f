#include "ClockText.h"

#include <gtest/gtest.h>

namespace pontivo {
namespace {

struct ClockCase {
    float seconds;
    const char* separator;
    const char* expected;
};

class ClockTextTest : public ::testing::TestWithParam<ClockCase> {};

TEST_P(ClockTextTest, SevenSignificantDigitsNoTrailingZeros)
{
    const ClockCase& c = GetParam();
    EXPECT_EQ(ClockText(c.seconds, c.separator), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ClockTextTest,
    ::testing::Values(
        ClockCase{0.0f, ".", "0"},
        ClockCase{12.5f, ".", "12.5"},
        ClockCase{60.0f, ".", "60"},
        ClockCase{12.5f, ",", "12,5"},
        ClockCase{86399.99f, ".", "86399.99"},
        ClockCase{45296.123f, ".", "45296.12"}, // seven digits, rounded
        ClockCase{45296.13f, ".", "45296.13"},
        ClockCase{3600.25f, ".", "3600.25"},
        ClockCase{0.5f, ".", "0.5"},
        ClockCase{0.015625f, ".", "0.015625"},
        ClockCase{0.00001f, ".", "0.00001"}, // no exponent however small
        ClockCase{1234567.0f, ".", "1234567"},
        ClockCase{99999.99f, ".", "99999.99"}));

} // namespace
} // namespace pontivo
