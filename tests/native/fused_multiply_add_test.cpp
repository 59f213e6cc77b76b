#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <ostream>

#include "envelope/fused_multiply_add.hpp"

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

struct FmaCase {
    double a, b, c;
    double fused;  // a * b + c rounded once
};

void PrintTo(const FmaCase& f, std::ostream* out) {
    *out << std::hexfloat << f.a << " * " << f.b << " + " << f.c;
}

class IntegerFusedMultiplyAdd : public testing::TestWithParam<FmaCase> {};

TEST_P(IntegerFusedMultiplyAdd, RoundsOnce) {
    const FmaCase& f = GetParam();
    EXPECT_EQ(std::bit_cast<std::uint64_t>(zarn::exact_fused_multiply_add(f.a, f.b, f.c)),
              std::bit_cast<std::uint64_t>(f.fused))
        << std::hexfloat << zarn::exact_fused_multiply_add(f.a, f.b, f.c);
}

INSTANTIATE_TEST_SUITE_P(
    Table, IntegerFusedMultiplyAdd,
    testing::Values(
        // Cancellation down to the product's lowest bits, which a product
        // rounded to double (or to an 80-bit long double) loses.
        FmaCase{0x1.0000000000001p0, 0x1.0000000000001p0, -0x1.0000000000002p0, 0x1p-104},
        FmaCase{0x1.fffffffffffffp-1, 0x1.fffffffffffffp-1, -0x1.ffffffffffffep-1, 0x1p-106},
        // A sum just past halfway rounds up; exactly halfway rounds to even.
        FmaCase{0x1.0000000000001p0, 0x1p-53, 1.0, 0x1.0000000000001p0},
        FmaCase{1.0, 0x1p-53, 1.0, 1.0},
        FmaCase{1.0, 0x1p-53, 0x1.0000000000001p0, 0x1.0000000000002p0},
        // The release follower's shape: a fall, a rise, a settled state.
        FmaCase{0.25 - 0x1.fa23a197d2819p-1, 0x1.1111111111111p-7, 0x1.fa23a197d2819p-1,
                0x1.f6fcef2e0615dp-1},
        FmaCase{1.0 - 0x1.6a77deae8ab8ap-1, 0x1.47ae147ae147bp-6, 0x1.6a77deae8ab8ap-1,
                0x1.6d7578f2bb259p-1},
        FmaCase{0.0, 0.5, 1.0, 1.0},
        // Subnormal results, underflow to a signed zero, and overflow.
        FmaCase{0x1.8p-1074, 0.5, 0.0, 0x1p-1074}, FmaCase{0x1p-1074, 0.5, 0.0, 0.0},
        FmaCase{-1e-300, 1e-300, 0.0, -0.0}, FmaCase{0x1p-1074, 0.5, 0x1p-1074, 0x1p-1073},
        FmaCase{0x1p1023, 2.0, -0x1p1023, 0x1p1023}, FmaCase{0x1p1023, 2.0, 0.0, inf},
        // Exact cancellation is +0; a finite product leaves an infinite c.
        FmaCase{1.0, 1.0, -1.0, 0.0}, FmaCase{-0.0, 5.0, -0.0, -0.0},
        FmaCase{1e300, 1e300, -inf, -inf}));

}  // namespace
