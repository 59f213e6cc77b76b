#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <ostream>
#include <random>

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

const auto fma_table = testing::Values(
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
        FmaCase{1e300, 1e300, -inf, -inf});

class IntegerFusedMultiplyAdd : public testing::TestWithParam<FmaCase> {};

TEST_P(IntegerFusedMultiplyAdd, RoundsOnce) {
    const FmaCase& f = GetParam();
    EXPECT_EQ(std::bit_cast<std::uint64_t>(zarn::exact_fused_multiply_add(f.a, f.b, f.c)),
              std::bit_cast<std::uint64_t>(f.fused))
        << std::hexfloat << zarn::exact_fused_multiply_add(f.a, f.b, f.c);
}

// The table's operations by the processor's instruction, where the build
// chooses it at run time: the integer version stands in for it elsewhere.
class FmaInstruction : public testing::TestWithParam<FmaCase> {};

TEST_P(FmaInstruction, RoundsOnce) {
#if ZARN_FMA_INSTRUCTION_AT_RUN_TIME
    if (!zarn::processor_has_fma()) {
        GTEST_SKIP() << "this processor has no FMA instruction";
    }
    const FmaCase& f = GetParam();
    EXPECT_EQ(std::bit_cast<std::uint64_t>(zarn::fma_instruction(f.a, f.b, f.c)),
              std::bit_cast<std::uint64_t>(f.fused));
#else
    GTEST_SKIP() << "this build does not choose the FMA instruction at run time";
#endif
}

// Random operands of every sign and binade around the release follower's:
// the instruction and the integer version agree on every bit.
TEST(FmaInstructionOperands, AgreeWithTheIntegerVersion) {
#if ZARN_FMA_INSTRUCTION_AT_RUN_TIME
    if (!zarn::processor_has_fma()) {
        GTEST_SKIP() << "this processor has no FMA instruction";
    }
    std::mt19937_64 generator(18);
    std::uniform_int_distribution<int> exponent(-60, 60);
    for (int i = 0; i < 200000; ++i) {
        const auto operand = [&] {
            const auto bits = generator();
            const double unit = 1.0 + static_cast<double>(bits >> 12) * 0x1p-52;
            return std::ldexp((bits & 1) != 0 ? -unit : unit, exponent(generator));
        };
        const double a = operand(), b = operand(), c = operand();
        ASSERT_EQ(std::bit_cast<std::uint64_t>(zarn::fma_instruction(a, b, c)),
                  std::bit_cast<std::uint64_t>(zarn::exact_fused_multiply_add(a, b, c)))
            << std::hexfloat << a << " * " << b << " + " << c;
    }
#else
    GTEST_SKIP() << "this build does not choose the FMA instruction at run time";
#endif
}

// The C library's fma, relied on where ZARN_LIBRARY_FMA_IS_EXACT says it is
// exact. Elsewhere the cases only say whether it is (neither musl's nor
// mingw-w64's is), without failing: a library found exact everywhere can
// join the list.
class LibraryFma : public testing::TestWithParam<FmaCase> {};

TEST_P(LibraryFma, RoundsOnce) {
    const FmaCase& f = GetParam();
    const bool exact =
        std::bit_cast<std::uint64_t>(std::fma(f.a, f.b, f.c)) == std::bit_cast<std::uint64_t>(f.fused);
    if (!ZARN_LIBRARY_FMA_IS_EXACT) {
        GTEST_SKIP() << "std::fma, not relied on here, " << (exact ? "rounds once" : "differs")
                     << ": " << std::hexfloat << std::fma(f.a, f.b, f.c);
    }
    EXPECT_TRUE(exact) << std::hexfloat << std::fma(f.a, f.b, f.c);
}

INSTANTIATE_TEST_SUITE_P(Table, IntegerFusedMultiplyAdd, fma_table);
INSTANTIATE_TEST_SUITE_P(Table, FmaInstruction, fma_table);
INSTANTIATE_TEST_SUITE_P(Table, LibraryFma, fma_table);

}  // namespace
