#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <ostream>
#include <string>

#include "lib/limiter.hpp"
#include "make_limiter.hpp"

namespace {

using zarn::LimiterError;
using zarn::Limiter;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

std::array<std::size_t, 3> stage_lengths(const Limiter& limiter) {
    const auto& stages = limiter.state.stages;
    return {stages[0].length, stages[1].length, stages[2].length};
}

struct DerivedCase {
    std::uint32_t sample_rate;
    std::uint64_t lookahead_samples;
    std::uint64_t window_length;
    std::uint64_t hold_samples;
    double release_samples;
    double release_coefficient;
};

void PrintTo(const DerivedCase& c, std::ostream* out) {
    *out << c.sample_rate << " Hz";
}

class DefaultSettings : public testing::TestWithParam<DerivedCase> {};

TEST_P(DefaultSettings, DeriveTheSampleCounts) {
    const DerivedCase& expected = GetParam();
    const Limiter limiter = make_limiter(expected.sample_rate);
    EXPECT_EQ(limiter.sample_rate, expected.sample_rate);
    EXPECT_EQ(limiter.threshold, 1.0);
    EXPECT_EQ(limiter.lookahead_samples, expected.lookahead_samples);
    EXPECT_EQ(limiter.window_length, expected.window_length);
    EXPECT_EQ(limiter.hold_samples, expected.hold_samples);
    EXPECT_EQ(limiter.release_samples, expected.release_samples);
    EXPECT_EQ(limiter.release_coefficient, expected.release_coefficient);

    // The run state is the neutral state that every call restores.
    EXPECT_EQ(limiter.state.follower, 1.0);
    for (const zarn::SmoothingStage& stage : limiter.state.stages) {
        EXPECT_EQ(stage.sum, static_cast<double>(stage.length));
        EXPECT_EQ(std::count(stage.buffer.get(), stage.buffer.get() + stage.length, 1.0),
                  static_cast<std::ptrdiff_t>(stage.length));
    }
}

INSTANTIATE_TEST_SUITE_P(WorkedTable, DefaultSettings,
                         testing::Values(DerivedCase{48000, 240, 960, 720, 1920.0,
                                                     0.0005205622071837585},
                                         DerivedCase{44100, 221, 882, 661, 1764.0,
                                                     0.0005665722379603399},
                                         DerivedCase{96000, 480, 1920, 1440, 3840.0, 1.0 / 3841.0},
                                         DerivedCase{8000, 40, 160, 120, 320.0, 1.0 / 321.0}));

TEST(Configuration, LinearThreshold) {
    EXPECT_EQ(make_limiter(48000, {-6.02}).threshold, 0.5000345349769785);
    EXPECT_EQ(make_limiter(48000, {-1.0}).threshold, 0.8912509381337456);
    EXPECT_EQ(make_limiter(48000, {-6.0}).threshold, 0.5011872336272722);
    EXPECT_EQ(make_limiter(48000, {-7000.0}).threshold, 0.0);

    const Limiter negative_zero = make_limiter(48000, {-0.0});
    EXPECT_TRUE(std::signbit(negative_zero.threshold_dBFS));
    EXPECT_EQ(negative_zero.threshold, 1.0);
}

TEST(Configuration, SingleSampleAttack) {
    const Limiter limiter = make_limiter(48000, {0.0, 0.011, 0.0, 40.0});
    EXPECT_EQ(limiter.lookahead_samples, 1u);
    EXPECT_EQ(limiter.window_length, 1u);
    EXPECT_EQ(limiter.hold_samples, 0u);
    EXPECT_EQ(stage_lengths(limiter), (std::array<std::size_t, 3>{1, 1, 1}));
}

TEST(Configuration, ZeroHoldAndRelease) {
    for (const double zero : {0.0, -0.0}) {
        const Limiter limiter = make_limiter(48000, {0.0, 5.0, zero, zero});
        EXPECT_EQ(limiter.window_length, 240u);
        EXPECT_EQ(limiter.hold_samples, 0u);
        EXPECT_EQ(limiter.release_samples, 0.0);
        EXPECT_EQ(std::signbit(limiter.release_samples), std::signbit(zero));
        EXPECT_EQ(limiter.release_coefficient, 1.0);
    }
}

TEST(Configuration, OverflowingReleaseNeverRises) {
    const Limiter limiter = make_limiter(48000, {0.0, 5.0, 15.0, 1e308});
    EXPECT_EQ(limiter.release_samples, inf);
    EXPECT_EQ(limiter.release_coefficient, 0.0);
}

struct ErrorCase {
    std::uint32_t sample_rate;
    double threshold_dBFS;
    double attack_ms;
    double hold_ms;
    double release_ms;
    std::string message;
};

void PrintTo(const ErrorCase& c, std::ostream* out) {
    *out << c.message.substr(0, 60);
}

class InvalidSettings : public testing::TestWithParam<ErrorCase> {};

TEST_P(InvalidSettings, ReportTheFirstErrorInOrder) {
    const ErrorCase& c = GetParam();
    const auto limiter =
        Limiter::create(c.sample_rate, {c.threshold_dBFS, c.attack_ms, c.hold_ms, c.release_ms});
    ASSERT_FALSE(limiter.has_value());
    EXPECT_EQ(limiter.error().message(), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, InvalidSettings,
    testing::Values(
        ErrorCase{0, 0.0, 5.0, 15.0, 40.0, "sample_rate must be greater than zero"},
        ErrorCase{0, 1.0, -1.0, nan, nan, "sample_rate must be greater than zero"},
        ErrorCase{48000, 0.5, 5.0, 15.0, 40.0,
                  "threshold_dBFS must be a finite dBFS value less than or equal to 0, got 0.5"},
        ErrorCase{48000, nan, 5.0, 15.0, 40.0,
                  "threshold_dBFS must be a finite dBFS value less than or equal to 0, got NaN"},
        ErrorCase{48000, inf, 5.0, 15.0, 40.0,
                  "threshold_dBFS must be a finite dBFS value less than or equal to 0, got inf"},
        ErrorCase{48000, -inf, 5.0, 15.0, 40.0,
                  "threshold_dBFS must be a finite dBFS value less than or equal to 0, got -inf"},
        ErrorCase{48000, std::numeric_limits<double>::denorm_min(), 5.0, 15.0, 40.0,
                  "threshold_dBFS must be a finite dBFS value less than or equal to 0, got 0." +
                      std::string(323, '0') + "5"},
        ErrorCase{48000, 1.0, -1.0, 15.0, 40.0,
                  "threshold_dBFS must be a finite dBFS value less than or equal to 0, got 1"},
        ErrorCase{48000, 0.0, inf, 15.0, 40.0,
                  "attack_ms must be finite and non-negative, got inf"},
        ErrorCase{48000, 0.0, -1.0, -1.0, 40.0,
                  "attack_ms must be finite and non-negative, got -1"},
        ErrorCase{48000, 0.0, -std::numeric_limits<double>::denorm_min(), 15.0, 40.0,
                  "attack_ms must be finite and non-negative, got -0." + std::string(323, '0') +
                      "5"},
        ErrorCase{48000, 0.0, 5.0, -1.0, 40.0, "hold_ms must be finite and non-negative, got -1"},
        ErrorCase{48000, 0.0, 5.0, nan, 40.0, "hold_ms must be finite and non-negative, got NaN"},
        ErrorCase{48000, 0.0, 5.0, 15.0, nan,
                  "release_ms must be finite and non-negative, got NaN"},
        ErrorCase{48000, 0.0, 5.0, 15.0, -inf,
                  "release_ms must be finite and non-negative, got -inf"},
        ErrorCase{48000, 0.0, 0.01, 15.0, nan,
                  "release_ms must be finite and non-negative, got NaN"},
        ErrorCase{48000, 0.0, 0.01, 15.0, 40.0,
                  "attack_ms=0.01 rounds to zero samples at 48000 Hz"},
        ErrorCase{48000, 0.0, -0.0, 15.0, 40.0, "attack_ms=-0 rounds to zero samples at 48000 Hz"},
        ErrorCase{48000, 0.0, 0.0, 1e300, 40.0, "attack_ms=0 rounds to zero samples at 48000 Hz"},
        ErrorCase{1, 0.0, 5.0, 15.0, 40.0, "attack_ms=5 rounds to zero samples at 1 Hz"},
        ErrorCase{4294967295u, 0.0, 1e-10, 15.0, 40.0,
                  "attack_ms=0.0000000001 rounds to zero samples at 4294967295 Hz"}));

TEST(ProcessingErrorText, FillsInTheNumbers) {
    EXPECT_EQ((LimiterError{zarn::ZeroChannels{}}).message(), "channels must be greater than zero");
    EXPECT_EQ((LimiterError{zarn::IndivisibleLength{7, 2}}).message(),
              "7 samples cannot be divided into frames with 2 channels");
    EXPECT_EQ((LimiterError{zarn::NonFiniteSample{3}}).message(),
              "input sample at flat index 3 is not finite");
}

// Look-ahead and window lengths whose storage cannot exist are refused at
// once, before the stage design runs and before anything is allocated.
struct HugeCase {
    double attack_ms;
    double hold_ms;
};

void PrintTo(const HugeCase& c, std::ostream* out) {
    *out << "attack " << c.attack_ms << " ms, hold " << c.hold_ms << " ms";
}

class UnstorableSettings : public testing::TestWithParam<HugeCase> {};

TEST_P(UnstorableSettings, ThrowBadAlloc) {
    EXPECT_THROW(Limiter::create(48000, {0.0, GetParam().attack_ms, GetParam().hold_ms}),
                 std::bad_alloc);
}

INSTANTIATE_TEST_SUITE_P(Sizes, UnstorableSettings,
                         testing::Values(HugeCase{1e30, 15.0}, HugeCase{5.0, 1e300},
                                         HugeCase{1e30, 1e300},
                                         // 2^60 frames: representable counts, impossible rings.
                                         HugeCase{2.4019198012642646e16, 0.0},
                                         HugeCase{5.0, 2.4019198012642646e16}));

struct StageCase {
    std::uint64_t lookahead_samples;
    std::array<std::size_t, 3> lengths;
};

void PrintTo(const StageCase& c, std::ostream* out) {
    *out << "lookahead " << c.lookahead_samples;
}

class StageDesign : public testing::TestWithParam<StageCase> {};

TEST_P(StageDesign, ReproducesTheWorkedLengths) {
    EXPECT_EQ(zarn::design_stage_lengths(GetParam().lookahead_samples), GetParam().lengths);
}

INSTANTIATE_TEST_SUITE_P(
    WorkedLengths, StageDesign,
    testing::Values(StageCase{1, {1, 1, 1}}, StageCase{2, {2, 1, 1}}, StageCase{3, {2, 2, 1}},
                    StageCase{4, {2, 2, 2}}, StageCase{5, {3, 2, 2}}, StageCase{10, {5, 4, 3}},
                    StageCase{48, {20, 17, 13}}, StageCase{49, {20, 17, 14}},
                    StageCase{240, {98, 81, 63}}, StageCase{241, {98, 81, 64}},
                    StageCase{441, {179, 148, 116}}, StageCase{2205, {892, 739, 576}}));

TEST(StageDesign, LengthsSumToLookaheadPlusTwo) {
    const std::array<double, 3> shares = {0.404078562416, 0.334851475794, 0.261069961789};
    for (std::uint64_t lookahead = 1; lookahead <= 200000; ++lookahead) {
        const auto lengths = zarn::design_stage_lengths(lookahead);
        ASSERT_GE(lengths[2], 1u);
        ASSERT_EQ(lengths[0] + lengths[1] + lengths[2], lookahead + 2) << lookahead;
        // Each stage gets its floored share plus at most one leftover unit.
        for (std::size_t stage = 0; stage < 3; ++stage) {
            const double share = static_cast<double>(lookahead - 1) * shares[stage];
            const auto floored = static_cast<std::size_t>(std::floor(share)) + 1;
            ASSERT_GE(lengths[stage], floored) << lookahead;
            ASSERT_LE(lengths[stage], floored + 1) << lookahead;
        }
    }
}

TEST(StageDesign, LimiterUsesTheDesignedLengths) {
    EXPECT_EQ(stage_lengths(make_limiter(48000)), (std::array<std::size_t, 3>{98, 81, 63}));
    EXPECT_EQ(stage_lengths(make_limiter(44100, {0.0, 50.0})), (std::array<std::size_t, 3>{892, 739, 576}));
}

}  // namespace
