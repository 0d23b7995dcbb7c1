#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "engine/support/number_format.hpp"

namespace {

using quorvane::support::format_fixed4;
using quorvane::support::format_number;
using quorvane::support::format_timeout;

TEST(NumberFormat, NumbersAreShortestRoundTripWithoutExponent) {
    struct Case {
        double value;
        std::string text;
    } cases[] = {
        {3.0, "3"},
        {2.5, "2.5"},
        {0.0, "0"},
        {0.1 + 0.2, "0.30000000000000004"},
        {1e-7, "0.0000001"},
        {1e21, "1000000000000000000000"},
        {1e300, "1" + std::string(300, '0')},
        {-0.5, "-0.5"},
        {std::nan(""), "NaN"},
        {std::numeric_limits<double>::infinity(), "inf"},
        {-std::numeric_limits<double>::infinity(), "-inf"},
    };
    for (const Case& c : cases) EXPECT_EQ(format_number(c.value), c.text) << c.text;
}

TEST(NumberFormat, TimeoutDebugForm) {
    struct Case {
        std::optional<float> value;
        std::string text;
    } cases[] = {
        {std::nullopt, "None"},
        {30.0f, "Some(30.0)"},
        {1.5f, "Some(1.5)"},
        {0.0f, "Some(0.0)"},
        {0.1f, "Some(0.1)"},
        {0.0001f, "Some(0.0001)"},
        {1e-5f, "Some(1e-5)"},
        {1.5e-5f, "Some(1.5e-5)"},
        {1e15f, "Some(1000000000000000.0)"},
        {1e16f, "Some(1e16)"},
        {-2.0f, "Some(-2.0)"},
        {std::nanf(""), "Some(NaN)"},
        {std::numeric_limits<float>::infinity(), "Some(inf)"},
    };
    for (const Case& c : cases) EXPECT_EQ(format_timeout(c.value), c.text) << c.text;
}

TEST(NumberFormat, FourDigitValues) {
    EXPECT_EQ(format_fixed4(3.0), "3.0000");
    EXPECT_EQ(format_fixed4(0.123456), "0.1235");
    EXPECT_EQ(format_fixed4(-1.5), "-1.5000");
    EXPECT_EQ(format_fixed4(std::nan("")), "NaN");
}

}  // namespace
