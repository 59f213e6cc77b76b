#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <random>
#include <vector>

#include "meter/interpolated_peak.hpp"
#include "meter/reconstructed_peak.hpp"
#include "meter/reconstruction_filter.hpp"
#include "meter_signals.hpp"

namespace {

using zarn::meter::Loudness;
using zarn::meter::LoudnessMeter;

double decibels(double magnitude) {
    return 20.0 * std::log10(magnitude);
}

// Sines at simple fractions of the rate, their crests between samples: the
// sample peak is known exactly, the true peak is the amplitude (0 dB). The
// standard's four-times filter reads such sines within a few tenths of a
// decibel (its twelve taps per point ripple, and its points may miss a
// crest by an eighth of a sample interval); the reconstruction within
// 0.01 dB.
struct SineCase {
    double rate_divisor;
    double phase;
    double sample_peak_dB;
    double four_times_allowance_dB;
};

class SinePeaks : public testing::TestWithParam<SineCase> {};

TEST_P(SinePeaks, ReadTheirCrests) {
    const SineCase& c = GetParam();
    const ToneSegment tone[] = {{48000.0 / c.rate_divisor, 0.0, 1.0, ~0u, c.phase, 0.1}};
    const Loudness result = measure(make_meter(48000, 1, true), tones(48000, 1, tone));
    EXPECT_NEAR(result.sample_peak_dBFS, c.sample_peak_dB, 1e-4);
    EXPECT_NEAR(result.true_peak_dBTP, 0.0, c.four_times_allowance_dB);
    EXPECT_NEAR(*result.reconstructed_peak_dBFS, 0.0, 0.01);
}

constexpr double pi = std::numbers::pi;

INSTANTIATE_TEST_SUITE_P(
    Fractions, SinePeaks,
    testing::Values(SineCase{4.0, pi / 4.0, -3.0103, 0.2},         // crest midway: cos(45 deg)
                    SineCase{6.0, pi / 3.0, -1.2494, 0.35},        // cos(30 deg)
                    SineCase{8.0, 3.0 * pi / 8.0, -0.6877, 0.05},  // cos(22.5 deg)
                    SineCase{4.0, pi / 4.0 + 0.3, -1.0661, 0.2},   // sin(pi/4 + 0.3)
                    SineCase{6.0, 0.1, -0.8038, 0.35}              // sin(pi/3 + 0.1)
                    ));

TEST(InterpolatedPeak, MissesALoneSampleByAQuarterDecibel) {
    std::vector<float> samples(zarn::meter::interpolation_history + 24, 0.0f);
    samples[zarn::meter::interpolation_history + 3] = 1.0f;
    const float peak = zarn::meter::interpolated_peak(
        samples.data() + zarn::meter::interpolation_history, 24);
    EXPECT_NEAR(decibels(peak), -0.245, 0.001);
}

TEST(TruePeak, OfALoneSampleIsTheSampleItself) {
    std::vector<float> samples(100, 0.0f);
    samples[50] = 1.0f;
    const Loudness result = measure(make_meter(48000, 1), samples);
    EXPECT_EQ(result.channel_true_peaks_dBTP, std::vector<double>{0.0});
    EXPECT_EQ(result.true_peak_dBTP, 0.0);
}

TEST(TruePeak, SeesASampleAtTheVeryEnd) {
    std::vector<float> samples(2 * 100, 0.0f);
    samples.back() = -0.5f;
    const Loudness result = measure(make_meter(48000, 2), samples);
    EXPECT_EQ(result.channel_true_peaks_dBTP[0], -std::numeric_limits<double>::infinity());
    EXPECT_NEAR(result.channel_true_peaks_dBTP[1], decibels(0.5), 1e-6);
}

// The reconstruction is flat up to 0.45 times the rate.
class NearNyquist : public testing::TestWithParam<double> {};

TEST_P(NearNyquist, ReconstructedPeakReadsTheCrest) {
    const ToneSegment tone[] = {{0.45 * 48000.0, -1.0, 1.0, ~0u, GetParam(), 0.1}};
    const Loudness result = measure(make_meter(48000, 1, true), tones(48000, 1, tone));
    EXPECT_NEAR(*result.reconstructed_peak_dBFS, -1.0, 0.01);
}

INSTANTIATE_TEST_SUITE_P(Phases, NearNyquist, testing::Values(0.0, 0.7, 1.9, 2.5));

TEST(ReconstructedPeak, IsAbsentUnlessAskedFor) {
    const ToneSegment tone[] = {{1000.0, -1.0, 1.0}};
    EXPECT_FALSE(measure(make_meter(48000, 1), tones(48000, 1, tone)).reconstructed_peak_dBFS);
}

// The largest of all 32 points of every interval, each summed as the
// reconstruction sums it: what skipping intervals must not change.
float every_point_peak(const std::vector<float>& samples) {
    const auto& taps = zarn::meter::reconstruction_filter().taps();
    const std::size_t history = zarn::meter::reconstruction_history;
    std::vector<float> padded(history, 0.0f);
    padded.insert(padded.end(), samples.begin(), samples.end());
    padded.insert(padded.end(), history, 0.0f);
    float peak = 0.0f;
    for (std::size_t oldest = 0; oldest + history < padded.size(); ++oldest) {
        for (std::size_t q = 0; q < zarn::meter::reconstruction_points; ++q) {
            float point = 0.0f;
            for (std::size_t j = 0; j < taps.size(); ++j) {
                point += taps[j][q] * padded[oldest + j];
            }
            peak = std::max(peak, std::fabs(point));
        }
    }
    return peak;
}

std::vector<float> noise_and_tones(std::size_t frames, std::size_t channels, unsigned seed) {
    std::mt19937 random(seed);
    std::normal_distribution<float> noise(0.0f, 0.1f);
    std::vector<float> samples(frames * channels);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double t = static_cast<double>(i / channels) / 48000.0;
        samples[i] = noise(random) + static_cast<float>(0.5 * std::sin(2 * pi * 330.0 * t) *
                                                        std::sin(2 * pi * 0.7 * t));
    }
    return samples;
}

// The largest of the samples and of all four points after every sample,
// each summed as the meter sums it: what skipping quiet runs must not
// change.
float every_point_true_peak(const std::vector<float>& samples) {
    constexpr float phase0[12] = {0.0017089843750f,  0.0109863281250f, -0.0196533203125f,
                                  0.0332031250000f,  -0.0594482421875f, 0.1373291015625f,
                                  0.9721679687500f,  -0.1022949218750f, 0.0476074218750f,
                                  -0.0266113281250f, 0.0148925781250f, -0.0083007812500f};
    constexpr float phase1[12] = {-0.0291748046875f, 0.0292968750000f,  -0.0517578125000f,
                                  0.0891113281250f,  -0.1665039062500f, 0.4650878906250f,
                                  0.7797851562500f,  -0.2003173828125f, 0.1015625000000f,
                                  -0.0582275390625f, 0.0330810546875f,  -0.0189208984375f};
    std::vector<float> padded(11, 0.0f);
    padded.insert(padded.end(), samples.begin(), samples.end());
    padded.insert(padded.end(), 11, 0.0f);
    float peak = 0.0f;
    for (std::size_t newest = 11; newest < padded.size(); ++newest) {
        float sums[4] = {};
        for (std::size_t k = 0; k < 12; ++k) {
            const float sample = padded[newest - k];
            sums[0] += phase0[k] * sample;
            sums[1] += phase1[k] * sample;
            sums[2] += phase1[11 - k] * sample;
            sums[3] += phase0[11 - k] * sample;
        }
        for (const float point : {sums[0], sums[1], sums[2], sums[3], padded[newest]}) {
            peak = std::max(peak, std::fabs(point));
        }
    }
    return peak;
}

TEST(TruePeak, SkipsOnlyRunsThatCannotHoldThePeak) {
    for (const unsigned seed : {1u, 2u, 3u}) {
        // Loud first: the quieter runs after the peak can be skipped.
        std::vector<float> samples = noise_and_tones(24000, 1, seed);
        std::reverse(samples.begin(), samples.end());
        const Loudness result = measure(make_meter(48000, 1), samples);
        EXPECT_EQ(result.true_peak_dBTP, decibels(every_point_true_peak(samples)));
    }
}

TEST(ReconstructedPeak, SkipsOnlyIntervalsThatCannotHoldThePeak) {
    for (const unsigned seed : {1u, 2u, 3u}) {
        // Loud first: the quieter intervals after the peak can be skipped.
        std::vector<float> samples = noise_and_tones(24000, 1, seed);
        std::reverse(samples.begin(), samples.end());
        const Loudness result = measure(make_meter(48000, 1, true), samples);
        EXPECT_EQ(*result.reconstructed_peak_dBFS, decibels(every_point_peak(samples)));
    }
}

bool same_result(const Loudness& a, const Loudness& b) {
    const auto bits = [](double x) {
        std::uint64_t b;
        std::memcpy(&b, &x, sizeof b);
        return b;
    };
    bool same = a.channel_true_peaks_dBTP.size() == b.channel_true_peaks_dBTP.size();
    for (std::size_t c = 0; same && c < a.channel_true_peaks_dBTP.size(); ++c) {
        same = bits(a.channel_true_peaks_dBTP[c]) == bits(b.channel_true_peaks_dBTP[c]);
    }
    const auto same_peak = [&](const std::optional<double>& x, const std::optional<double>& y) {
        return x.has_value() == y.has_value() && (!x || bits(*x) == bits(*y));
    };
    return same && bits(a.integrated_LUFS) == bits(b.integrated_LUFS) &&
           bits(a.loudness_range_LU) == bits(b.loudness_range_LU) &&
           bits(a.momentary_max_LUFS) == bits(b.momentary_max_LUFS) &&
           bits(a.short_term_max_LUFS) == bits(b.short_term_max_LUFS) &&
           bits(a.true_peak_dBTP) == bits(b.true_peak_dBTP) &&
           bits(a.sample_peak_dBFS) == bits(b.sample_peak_dBFS) &&
           same_peak(a.reconstructed_peak_dBFS, b.reconstructed_peak_dBFS);
}

// Any division of the stream into blocks gives the same bits, and a result
// taken midway does not disturb the stream: the loudness over more than one
// short-term window, the reconstructed peak over a shorter piece. Three
// channels are weighted as a pair and a single one.
struct DivisionCase {
    double seconds;
    bool reconstructed;
    std::size_t longest_block;
};

class Division : public testing::TestWithParam<DivisionCase> {};

TEST_P(Division, OfAnyLengthGivesTheSameResult) {
    const DivisionCase& c = GetParam();
    const std::size_t channels = 3;
    const auto frames = static_cast<std::size_t>(c.seconds * 48000);
    const std::vector<float> samples = noise_and_tones(frames, channels, 4);
    const Loudness whole = measure(make_meter(48000, channels, c.reconstructed), samples);
    LoudnessMeter meter = make_meter(48000, channels, c.reconstructed);
    std::mt19937 random(5);
    std::uniform_int_distribution<std::size_t> length(0, c.longest_block);
    for (std::size_t frame = 0, calls = 0; frame < frames; ++calls) {
        const std::size_t count = std::min(length(random), frames - frame);
        ASSERT_FALSE(meter.add(std::span(samples).subspan(frame * channels, count * channels)));
        frame += count;
        if (calls % 1000 == 1) {
            static_cast<void>(meter.result());
        }
    }
    EXPECT_TRUE(same_result(meter.result(), whole));
}

INSTANTIATE_TEST_SUITE_P(Blocks, Division,
                         testing::Values(DivisionCase{3.3, false, 1},
                                         DivisionCase{3.3, false, 4800},
                                         DivisionCase{3.3, false, 100000},
                                         DivisionCase{0.1, true, 1},
                                         DivisionCase{0.1, true, 17},
                                         DivisionCase{0.1, true, 4800}));

TEST(Blocks, WithANonFiniteSampleAreRefusedWhole) {
    LoudnessMeter meter = make_meter(48000, 2, true);
    const std::vector<float> first = noise_and_tones(30000, 2, 6);
    ASSERT_FALSE(meter.add(first));
    const Loudness before = meter.result();
    std::vector<float> second = noise_and_tones(1000, 2, 7);
    second[2 * 700 + 1] = std::numeric_limits<float>::infinity();
    const auto error = meter.add(second);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), "input sample at frame 30700, channel 1 is not finite");
    const auto* position = std::get_if<zarn::meter::NonFiniteSample>(&error->kind);
    ASSERT_NE(position, nullptr);
    EXPECT_EQ(position->frame, 30700u);
    EXPECT_TRUE(same_result(meter.result(), before));
}

}  // namespace
