#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "meter/channel_weights.hpp"
#include "meter/k_weighting.hpp"
#include "meter_signals.hpp"

namespace {

using zarn::meter::Loudness;
using zarn::meter::LoudnessMeter;

constexpr double minus_infinity = -std::numeric_limits<double>::infinity();

TEST(KWeighting, DesignReproducesTheTableAt48kHz) {
    const auto designed = zarn::meter::design_k_weighting(48000.0);
    const auto table = zarn::meter::k_weighting_for(48000);
    const auto coefficients = [](const zarn::meter::KWeighting& k) {
        return std::vector<double>{k.shelf.b0,     k.shelf.b1,     k.shelf.b2,
                                   k.shelf.a1,     k.shelf.a2,     k.high_pass.b0,
                                   k.high_pass.b1, k.high_pass.b2, k.high_pass.a1,
                                   k.high_pass.a2};
    };
    const auto expected = coefficients(table);
    const auto actual = coefficients(designed);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_NEAR(actual[i], expected[i], 1e-9) << "coefficient " << i;
    }
}

// A 1 kHz sine at -23 dBFS in both channels of a stereo programme reads
// -23 LUFS at any rate.
class SineReference : public testing::TestWithParam<std::uint32_t> {};

TEST_P(SineReference, ReadsMinus23LUFS) {
    const ToneSegment tone[] = {{1000.0, -23.0, 3.5}};
    const Loudness result = measure(make_meter(GetParam(), 2), tones(GetParam(), 2, tone));
    EXPECT_NEAR(result.integrated_LUFS, -23.0, 0.05);
    EXPECT_NEAR(result.momentary_max_LUFS, -23.0, 0.05);
    EXPECT_NEAR(result.short_term_max_LUFS, -23.0, 0.05);
    EXPECT_NEAR(result.loudness_range_LU, 0.0, 0.05);
}

INSTANTIATE_TEST_SUITE_P(Rates, SineReference, testing::Values(8000u, 44100u, 48000u, 96000u,
                                                               192000u));

// Stereo 1 kHz tone sequences: the gates must leave out the quiet and
// silent parts (integrated) and the loudness range is the spread of the
// parts that pass. The gating is the same at any rate; 8 kHz keeps the
// minutes of programme short to compute.
struct GatingCase {
    std::vector<ToneSegment> segments;
    double integrated_LUFS;
    double loudness_range_LU;
};

class Gating : public testing::TestWithParam<GatingCase> {};

TEST_P(Gating, CutsWhatTheGatesCut) {
    const Loudness result = measure(make_meter(8000, 2), tones(8000, 2, GetParam().segments));
    EXPECT_NEAR(result.integrated_LUFS, GetParam().integrated_LUFS, 0.1);
    EXPECT_NEAR(result.loudness_range_LU, GetParam().loudness_range_LU, 0.1);
}

INSTANTIATE_TEST_SUITE_P(
    ToneSequences, Gating,
    testing::Values(
        // The relative gate cuts the -36 dBFS parts, which the range's wider
        // relative gate keeps.
        GatingCase{{{1000, -36, 10}, {1000, -23, 60}, {1000, -36, 10}}, -23.0, 13.0},
        // The absolute gate cuts the -72 dBFS parts, the relative the -36.
        GatingCase{{{1000, -72, 10}, {1000, -36, 10}, {1000, -23, 60}, {1000, -36, 10},
                    {1000, -72, 10}},
                   -23.0, 13.0},
        // Silence is below every gate; the range is that of the short-term
        // windows across the tone's ends (10 log10(12/30) at the 10th
        // percentile of 171 full windows and 2 x 29 partial ones).
        GatingCase{{{1000, -200, 10}, {1000, -23, 20}, {1000, -200, 10}}, -23.0, 3.98},
        // Two levels 10 LU apart, both within the range's gate.
        GatingCase{{{1000, -30, 20}, {1000, -20, 20}}, -22.6, 10.0},
        GatingCase{{{1000, -25, 20}, {1000, -20, 20}}, -21.8, 5.0}));

// Which channel carries a 1 kHz sine at -23 dBFS decides its weight.
struct WeightCase {
    std::size_t channels;
    unsigned carrying;  // bit mask of the channels with the tone
    double integrated_LUFS;
};

class ChannelWeights : public testing::TestWithParam<WeightCase> {};

TEST_P(ChannelWeights, WeighTheChannelsByPosition) {
    const WeightCase& c = GetParam();
    const ToneSegment tone[] = {{1000.0, -23.0, 1.0, c.carrying}};
    const Loudness result = measure(make_meter(48000, c.channels), tones(48000, c.channels, tone));
    if (std::isinf(c.integrated_LUFS)) {
        EXPECT_EQ(result.integrated_LUFS, c.integrated_LUFS);
    } else {
        EXPECT_NEAR(result.integrated_LUFS, c.integrated_LUFS, 0.05);
    }
}

// One front channel alone: -23 - 3.01 dB; a surround: 1.49 dB more (x1.41).
INSTANTIATE_TEST_SUITE_P(Layouts, ChannelWeights,
                         testing::Values(WeightCase{5, 0b00001u, -26.01},
                                         WeightCase{5, 0b01000u, -24.52},
                                         WeightCase{5, 0b11000u, -21.51},
                                         WeightCase{6, 0b01000u, minus_infinity},
                                         WeightCase{6, 0b10000u, -24.52},
                                         WeightCase{8, 0b10000000u, -24.52},
                                         WeightCase{4, 0b1000u, -26.01}));

TEST(ChannelWeights, GivenWeightsReplaceTheDefaults) {
    const ToneSegment tone[] = {{1000.0, -23.0, 1.0, 0b01u}};
    const double weights[] = {0.5, 1.0};
    const Loudness result =
        measure(make_meter(48000, 2, false, weights), tones(48000, 2, tone));
    EXPECT_NEAR(result.integrated_LUFS, -26.01 - 3.01, 0.05);
}

// Too little programme for a measure leaves it at -inf, without an error.
struct ShortCase {
    double seconds;
    double level_dBFS;
    bool has_momentary;
    bool has_short_term;
    bool above_gate = true;
};

class ShortProgrammes : public testing::TestWithParam<ShortCase> {};

TEST_P(ShortProgrammes, LeaveTheirMeasuresAtMinusInfinity) {
    const ShortCase& c = GetParam();
    const ToneSegment tone[] = {{1000.0, c.level_dBFS, c.seconds}};
    const Loudness result = measure(make_meter(48000, 2), tones(48000, 2, tone));
    EXPECT_EQ(std::isinf(result.momentary_max_LUFS), !c.has_momentary);
    EXPECT_EQ(std::isinf(result.integrated_LUFS), !(c.has_momentary && c.above_gate));
    EXPECT_EQ(std::isinf(result.short_term_max_LUFS), !c.has_short_term);
    EXPECT_EQ(std::isinf(result.loudness_range_LU), !(c.has_short_term && c.above_gate));
}

INSTANTIATE_TEST_SUITE_P(Lengths, ShortProgrammes,
                         testing::Values(ShortCase{0.0, -23.0, false, false},
                                         ShortCase{0.39, -23.0, false, false},
                                         ShortCase{0.4, -23.0, true, false},
                                         ShortCase{2.9, -23.0, true, false},
                                         ShortCase{3.0, -23.0, true, true},
                                         ShortCase{5.0, -200.0, true, true, false}));

TEST(Silence, ReadsMinusInfinityEverywhere) {
    const std::vector<float> silence(2 * 48000 * 4, 0.0f);
    const Loudness result = measure(make_meter(48000, 2, true), silence);
    for (const double value : {result.integrated_LUFS, result.loudness_range_LU,
                               result.momentary_max_LUFS, result.short_term_max_LUFS,
                               result.true_peak_dBTP, result.sample_peak_dBFS,
                               *result.reconstructed_peak_dBFS}) {
        EXPECT_EQ(value, minus_infinity);
    }
}

struct SettingsCase {
    std::uint32_t sample_rate;
    std::size_t channels;
    std::vector<double> weights;
    std::string message;
};

class Settings : public testing::TestWithParam<SettingsCase> {};

TEST_P(Settings, AreRefusedWithTheirText) {
    const SettingsCase& c = GetParam();
    const auto meter = LoudnessMeter::create(c.sample_rate, c.channels, c.weights, false);
    ASSERT_FALSE(meter);
    EXPECT_EQ(meter.error().message(), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Invalid, Settings,
    testing::Values(
        SettingsCase{7999, 2, {}, "sample_rate must be at least 8000 Hz to measure loudness, got 7999"},
        SettingsCase{48000, 0, {}, "channels must be greater than zero"},
        SettingsCase{48000, 2, {1.0}, "weights must give one value per channel: got 1 for 2 channels"},
        SettingsCase{48000, 1, {1.0, 1.0}, "weights must give one value per channel: got 2 for 1 channel"},
        SettingsCase{48000, 2, {1.0, -0.5}, "weights[1] must be finite and non-negative, got -0.5"},
        SettingsCase{48000, 2, {std::nan(""), 1.0}, "weights[0] must be finite and non-negative, got NaN"}));

TEST(Blocks, OfAnotherChannelCountAreRefused) {
    LoudnessMeter meter = make_meter(48000, 2);
    const float samples[6] = {};
    const auto error = meter.add({reinterpret_cast<const char*>(samples), 2, 3, 12, 4});
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), "block has 3 channels, but the meter measures 2");
}

}  // namespace

namespace {

// Channels are weighted two at a time where the processor allows, the last
// of an odd count alone: a channel gives the same bits either way.
TEST(ChannelWeights, PairedAndSingleChannelsGiveTheSameBits) {
    const ToneSegment first[] = {{997.0, -20.0, 2.0, 0b001u}, {61.0, -9.0, 1.5, 0b001u}};
    const ToneSegment last[] = {{997.0, -20.0, 2.0, 0b100u}, {61.0, -9.0, 1.5, 0b100u}};
    const double first_only[] = {1.0, 0.0, 0.0};
    const double last_only[] = {0.0, 0.0, 1.0};
    const Loudness paired = measure(make_meter(44100, 3, false, first_only), tones(44100, 3, first));
    const Loudness single = measure(make_meter(44100, 3, false, last_only), tones(44100, 3, last));
    EXPECT_EQ(paired.integrated_LUFS, single.integrated_LUFS);
    EXPECT_EQ(paired.loudness_range_LU, single.loudness_range_LU);
    EXPECT_EQ(paired.momentary_max_LUFS, single.momentary_max_LUFS);
}

}  // namespace
