#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <ostream>
#include <random>
#include <string>

#include "lib/number_text.hpp"

namespace {

using zarn::render_double;
using zarn::render_unsigned;

struct RenderCase {
    double value;
    const char* text;
};

void PrintTo(const RenderCase& c, std::ostream* out) {
    *out << c.text;
}

class RenderDouble : public testing::TestWithParam<RenderCase> {};

TEST_P(RenderDouble, WritesShortestPositionalDigits) {
    EXPECT_EQ(render_double(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, RenderDouble,
    testing::Values(RenderCase{5.0, "5"}, RenderCase{1920.0, "1920"},
                    RenderCase{1e21, "1000000000000000000000"}, RenderCase{1e-7, "0.0000001"},
                    RenderCase{-0.0, "-0"}, RenderCase{0.0, "0"}, RenderCase{0.5, "0.5"},
                    RenderCase{-1.0, "-1"}, RenderCase{-6.02, "-6.02"}, RenderCase{0.01, "0.01"},
                    RenderCase{0.1 + 0.2, "0.30000000000000004"},
                    RenderCase{1.0 / 1921.0, "0.0005205622071837585"},
                    RenderCase{1e23, "100000000000000000000000"},
                    RenderCase{123456789012345678901234567890.0,
                               "123456789012345680000000000000"},
                    RenderCase{36028797018963968.0, "36028797018963970"},
                    RenderCase{1.5e-10, "0.00000000015"}, RenderCase{123.456, "123.456"},
                    RenderCase{std::numeric_limits<double>::quiet_NaN(), "NaN"},
                    RenderCase{-std::numeric_limits<double>::quiet_NaN(), "NaN"},
                    RenderCase{std::numeric_limits<double>::infinity(), "inf"},
                    RenderCase{-std::numeric_limits<double>::infinity(), "-inf"}));

TEST(RenderDouble, ExtremesHaveNoExponent) {
    const std::string smallest = render_double(std::numeric_limits<double>::denorm_min());
    EXPECT_EQ(smallest, "0." + std::string(323, '0') + "5");

    const std::string largest = render_double(-std::numeric_limits<double>::max());
    EXPECT_EQ(largest, "-17976931348623157" + std::string(292, '0'));
}

TEST(RenderDouble, ReadsBackToTheSameDoubleForRandomBitPatterns) {
    std::mt19937_64 random(20261208);
    for (int n = 0; n < 20000; ++n) {
        const std::uint64_t bits = random();
        double value;
        std::memcpy(&value, &bits, sizeof value);
        if (!std::isfinite(value)) {
            continue;
        }
        const std::string text = render_double(value);
        ASSERT_EQ(text.find_first_of("eE+"), std::string::npos) << text;
        ASSERT_EQ(text.front() == '-', std::signbit(value)) << text;
        const double back = std::strtod(text.c_str(), nullptr);
        ASSERT_EQ(std::memcmp(&back, &value, sizeof value), 0) << text;
    }
}

TEST(RenderUnsigned, PlainDecimal) {
    EXPECT_EQ(render_unsigned(0), "0");
    EXPECT_EQ(render_unsigned(48000), "48000");
    EXPECT_EQ(render_unsigned(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615");
}

}  // namespace
