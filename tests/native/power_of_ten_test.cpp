#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <ostream>

#include "lib/power_of_ten.hpp"

namespace {

struct PowerCase {
    double threshold_dBFS;
    double threshold;  // 10^(threshold_dBFS / 20), correctly rounded
};

void PrintTo(const PowerCase& c, std::ostream* out) {
    *out << c.threshold_dBFS << " dBFS";
}

class LinearThreshold : public testing::TestWithParam<PowerCase> {};

TEST_P(LinearThreshold, IsTheCorrectlyRoundedPowerOfTen) {
    const PowerCase& c = GetParam();
    EXPECT_EQ(std::bit_cast<std::uint64_t>(zarn::power_of_ten(c.threshold_dBFS / 20.0)),
              std::bit_cast<std::uint64_t>(c.threshold))
        << zarn::power_of_ten(c.threshold_dBFS / 20.0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, LinearThreshold,
    testing::Values(
        // Round values, with the bits an FMA machine's glibc gives them.
        PowerCase{0.0, 1.0}, PowerCase{-0.0, 1.0}, PowerCase{-0.1, 0x1.fa23a197d2819p-1},
        PowerCase{-1.0, 0x1.c8520affa0a4bp-1}, PowerCase{-3.0, 0x1.6a77deae8ab8ap-1},
        PowerCase{-6.02, 0x1.000486cd31817p-1},
        // Where glibc's pow is one ulp off (-149.795 dB: 0.5002 ulp).
        PowerCase{-7.651, 0x1.a8600a9143577p-2}, PowerCase{-22.367, 0x1.37e566fb6e20dp-4},
        PowerCase{-149.795, 0x1.161ff8ce4aa5fp-25},
        // The 0.001 dB steps closest to a halfway point (-109.88 dB: 1.1e-6 ulp).
        PowerCase{-109.88, 0x1.ae56933b8bcfbp-19}, PowerCase{-113.326, 0x1.2168565781a5ap-19},
        PowerCase{-76.497, 0x1.39e44a16ea123p-13}, PowerCase{-133.305, 0x1.d02c49149cc8bp-23},
        // Just below 1: either side of the halfway point 1 - 2^-54.
        PowerCase{-1e-300, 1.0}, PowerCase{-4.8e-16, 1.0},
        PowerCase{-4.84e-16, 0x1.fffffffffffffp-1},
        // Subnormal results, the smallest one, and underflow to 0.
        PowerCase{-6160.0, 0x0.730d67819e8d2p-1022}, PowerCase{-6280.0, 0x0.0000078a42205p-1022},
        PowerCase{-6400.0, 0x0.00000000007e8p-1022}, PowerCase{-6470.0, 0x0.0000000000001p-1022},
        PowerCase{-6474.0, 0.0}, PowerCase{-7000.0, 0.0},
        PowerCase{-0x1.fffffffffffffp+1023, 0.0}));

}  // namespace
