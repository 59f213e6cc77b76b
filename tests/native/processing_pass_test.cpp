#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "lib/limiter.hpp"
#include "make_limiter.hpp"

namespace {

using zarn::Limiter;

constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr float inf = std::numeric_limits<float>::infinity();
constexpr float largest = std::numeric_limits<float>::max();

std::vector<float> frame_gains_of(const zarn::SampleBuffer& gains) {
    return {gains.data(), gains.data() + gains.size()};
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

// The run state of a limiter, to see whether a call changed it.
struct RunState {
    double follower;
    std::vector<double> stage_sums;
    std::vector<std::size_t> stage_positions;
    bool operator==(const RunState&) const = default;
};

RunState run_state(const Limiter& limiter) {
    RunState state{limiter.state.follower, {}, {}};
    for (const zarn::SmoothingStage& stage : limiter.state.stages) {
        state.stage_sums.push_back(stage.sum);
        state.stage_positions.push_back(stage.position);
    }
    return state;
}

std::vector<float> loud_frame_at_five(float level) {
    std::vector<float> samples(12, 0.0f);
    samples[5] = level;
    return samples;
}

struct InvalidCase {
    std::vector<float> samples;
    std::size_t channels;
    std::string message;
};

void PrintTo(const InvalidCase& c, std::ostream* out) {
    *out << c.message;
}

class InvalidBuffer : public testing::TestWithParam<InvalidCase> {};

TEST_P(InvalidBuffer, FailsWithoutTouchingBufferOrLimiter) {
    Limiter limiter = make_limiter(1000, {0.0, 4.0, 2.0, 3.0});
    std::vector<float> reference = loud_frame_at_five(2.0f);
    const auto first = limiter.process(reference, 1);
    ASSERT_TRUE(first.has_value());
    const RunState before = run_state(limiter);

    std::vector<float> samples = GetParam().samples;
    const auto result = limiter.process(samples, GetParam().channels);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().message(), GetParam().message);
    EXPECT_TRUE(same_bits(samples, GetParam().samples));
    EXPECT_EQ(run_state(limiter), before);

    // The next call gives what the first one gave.
    std::vector<float> again = loud_frame_at_five(2.0f);
    const auto second = limiter.process(again, 1);
    ASSERT_TRUE(second.has_value());
    EXPECT_TRUE(same_bits(again, reference));
    EXPECT_TRUE(same_bits(frame_gains_of(*second), frame_gains_of(*first)));
}

INSTANTIATE_TEST_SUITE_P(
    Errors, InvalidBuffer,
    testing::Values(
        InvalidCase{{}, 0, "channels must be greater than zero"},
        InvalidCase{{1.0f, nan}, 0, "channels must be greater than zero"},
        InvalidCase{{0.1f, 0.2f, 0.3f, 0.4f, nan}, 2,
                    "5 samples cannot be divided into frames with 2 channels"},
        InvalidCase{{0.1f, 0.2f, 0.3f}, 4,
                    "3 samples cannot be divided into frames with 4 channels"},
        InvalidCase{{0.0f, inf, 0.5f, nan}, 1, "input sample at flat index 1 is not finite"},
        InvalidCase{{0.0f, 2.0f, 0.5f, -inf}, 2, "input sample at flat index 3 is not finite"},
        InvalidCase{{nan, 2.0f}, 2, "input sample at flat index 0 is not finite"},
        InvalidCase{{largest, -largest, 1e-45f, -0.0f, -nan}, 1,
                    "input sample at flat index 4 is not finite"}));

TEST(ProcessingPass, EmptyBufferResetsTheEnvelope) {
    Limiter limiter = make_limiter(1000, {0.0, 4.0, 2.0, 3.0});
    const RunState neutral = run_state(limiter);
    std::vector<float> loud = loud_frame_at_five(2.0f);
    ASSERT_TRUE(limiter.process(loud, 1).has_value());
    ASSERT_NE(run_state(limiter), neutral);

    for (const std::size_t channels : {1u, 3u}) {
        std::vector<float> empty;
        const auto gains = limiter.process(empty, channels);
        ASSERT_TRUE(gains.has_value());
        EXPECT_EQ(gains->size(), 0u);
        EXPECT_NE(gains->data(), nullptr);
        EXPECT_EQ(run_state(limiter), neutral);
    }
}

TEST(ProcessingPass, QuietBuffersPassThroughBitForBit) {
    std::mt19937_64 random(11);
    for (const double threshold_dBFS : {0.0, -1.0, -6.02, -20.0}) {
        Limiter limiter = make_limiter(48000, {threshold_dBFS});
        // Samples at most the threshold, with -0, subnormals and the largest
        // float not above it.
        float ceiling = static_cast<float>(limiter.threshold);
        if (static_cast<double>(ceiling) > limiter.threshold) {
            ceiling = std::nextafter(ceiling, 0.0f);
        }
        std::uniform_real_distribution<float> level(-ceiling, ceiling);
        std::vector<float> input(3 * 2000);
        for (float& sample : input) {
            sample = level(random);
        }
        input[10] = -0.0f;
        input[11] = 1e-45f;
        input[12] = -ceiling;
        input[4000] = ceiling;
        std::vector<float> samples = input;
        const auto gains = limiter.process(samples, 3);
        ASSERT_TRUE(gains.has_value());
        EXPECT_TRUE(same_bits(samples, input)) << threshold_dBFS;
        EXPECT_EQ(frame_gains_of(*gains), std::vector<float>(2000, 1.0f)) << threshold_dBFS;
    }
}

TEST(ProcessingPass, LinksTheChannelsOfEachFrame) {
    Limiter limiter = make_limiter(1000, {0.0, 4.0, 2.0, 3.0});
    std::vector<float> samples(12, 0.25f);
    const std::vector<float> loud = loud_frame_at_five(2.0f);
    samples.insert(samples.end(), loud.begin(), loud.end());

    const auto gains = limiter.process(samples, 2);
    ASSERT_TRUE(gains.has_value());
    EXPECT_EQ(frame_gains_of(*gains),
              (std::vector<float>{1.0f, 0.9375f, 0.75f, 0.5625f, 0.5f, 0.5f, 0.5f, 0.515625f,
                                  0.57421875f, 0.6650390625f, 0.748779296875f,
                                  0.81158447265625f}));
    const std::vector<float> channel0(samples.begin(), samples.begin() + 12);
    const std::vector<float> channel1(samples.begin() + 12, samples.end());
    EXPECT_EQ(channel0, (std::vector<float>{0.25f, 0.234375f, 0.1875f, 0.140625f, 0.125f, 0.125f,
                                            0.125f, 0.12890625f, 0.1435546875f, 0.166259765625f,
                                            0.18719482421875f, 0.2028961181640625f}));
    EXPECT_EQ(channel1, loud_frame_at_five(1.0f));
}

TEST(ProcessingPass, ClampsToTheCeilingRoundedToFloat) {
    Limiter limiter = make_limiter(1000, {-6.0, 4.0, 2.0, 3.0});
    ASSERT_EQ(limiter.threshold, 0.5011872336272722);
    std::vector<float> samples = loud_frame_at_five(1.0f);
    ASSERT_TRUE(limiter.process(samples, 1).has_value());
    EXPECT_EQ(samples, loud_frame_at_five(0.5011872053146362f));
}

// A loud sample among zeros: the cascade sums drift below zero while the gain
// is tiny, and the gain must still be neither negative nor flip any sign.
struct SpikeCase {
    double threshold_dBFS;
    float spike;
};

void PrintTo(const SpikeCase& c, std::ostream* out) {
    *out << c.threshold_dBFS << " dBFS, spike " << c.spike;
}

class LoudSpike : public testing::TestWithParam<SpikeCase> {};

TEST_P(LoudSpike, GainsStayInTheUnitRange) {
    Limiter limiter = make_limiter(48000, {GetParam().threshold_dBFS, 50.0});
    const auto ceiling = static_cast<float>(limiter.threshold);
    const std::size_t at = 20000;
    std::vector<float> input(48000, 0.0f);
    input[at] = GetParam().spike;
    input[at + 3000] = 0.5f;
    input[at + 3001] = -0.5f;
    std::vector<float> samples = input;
    const auto gains = limiter.process(samples, 1);
    ASSERT_TRUE(gains.has_value());
    for (std::size_t t = 0; t < samples.size(); ++t) {
        const float gain = gains->data()[t];
        ASSERT_FALSE(std::signbit(gain)) << t << " " << gain;
        ASSERT_LE(gain, 1.0f) << t;
        ASSERT_LE(std::fabs(samples[t]), ceiling) << t;
        if (input[t] != 0.0f) {
            ASSERT_EQ(std::signbit(samples[t]), std::signbit(input[t])) << t;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Spikes, LoudSpike,
                         testing::Values(SpikeCase{0.0, 1e15f}, SpikeCase{-7000.0, 1.0f},
                                         SpikeCase{-7000.0, 0.5f}, SpikeCase{0.0, largest},
                                         SpikeCase{0.0, -largest}, SpikeCase{-1.0, largest}));

// A random limiter that often sits on an edge: a look-ahead of one frame, no
// hold, an instant or a never-ending release, a threshold of 0.
Limiter random_limiter(std::mt19937_64& random) {
    std::uniform_int_distribution<int> pick(0, 7);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const std::array<std::uint32_t, 4> rates = {1000, 8000, 44100, 48000};
    const std::uint32_t sample_rate = rates[pick(random) % 4];
    const double threshold_dBFS = pick(random) == 0 ? -7000.0 : -30.0 * unit(random);
    const double attack_ms = pick(random) == 0 ? 1000.0 / sample_rate : 1.0 + 20.0 * unit(random);
    const double hold_ms = pick(random) == 0 ? 0.0 : 30.0 * unit(random);
    const int release = pick(random);
    const double release_ms = release == 0 ? 0.0 : release == 1 ? 1e308 : 100.0 * unit(random);
    return make_limiter(sample_rate, {threshold_dBFS, attack_ms, hold_ms, release_ms});
}

// Random samples at a random loudness, with zeros and the largest floats.
std::vector<float> random_samples(std::mt19937_64& random, std::size_t count) {
    std::uniform_int_distribution<int> pick(0, 7);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double loudness = std::pow(10.0, 6.0 * unit(random) - 3.0);
    std::vector<float> samples(count);
    for (float& sample : samples) {
        const int kind = pick(random);
        sample = kind == 0   ? 0.0f
                 : kind == 1 ? (unit(random) < 0.5 ? largest : -largest)
                             : static_cast<float>(loudness * (2.0 * unit(random) - 1.0));
    }
    return samples;
}

// Random configurations and buffers: the ceiling holds for every sample, the
// gains lie in [0, 1], each frame's peak times its gain stays at the
// threshold up to float rounding, and a second call repeats the first.
TEST(ProcessingPass, PropertiesHoldForRandomConfigurations) {
    std::mt19937_64 random(20261208);
    std::uniform_int_distribution<std::size_t> channel_count(1, 3);
    // Often shorter than the look-ahead.
    std::uniform_int_distribution<std::size_t> short_length(0, 7);
    std::uniform_int_distribution<std::size_t> long_length(1, 3000);
    for (int trial = 0; trial < 300; ++trial) {
        Limiter limiter = random_limiter(random);
        const std::size_t channels = channel_count(random);
        const std::size_t frames = trial % 4 == 0 ? short_length(random) : long_length(random);
        const std::vector<float> input = random_samples(random, channels * frames);

        std::vector<float> samples = input;
        const auto gains = limiter.process(samples, channels);
        ASSERT_TRUE(gains.has_value());
        ASSERT_EQ(gains->size(), frames);
        const auto ceiling = static_cast<float>(limiter.threshold);
        for (std::size_t t = 0; t < frames; ++t) {
            const float gain = gains->data()[t];
            ASSERT_TRUE(gain >= 0.0f && gain <= 1.0f && !std::signbit(gain)) << trial << " " << t;
            for (std::size_t c = 0; c < channels; ++c) {
                const float in = input[c * frames + t];
                const float out = samples[c * frames + t];
                ASSERT_LE(std::fabs(out), ceiling) << trial;
                // Rounding a gain to float is relative, or absolute where
                // the gain is subnormal.
                const double magnitude = std::fabs(static_cast<double>(in));
                ASSERT_LE(magnitude * gain,
                          limiter.threshold * (1.0 + 0x1p-23) + magnitude * 0x1p-149)
                    << trial << " " << t;
            }
        }

        std::vector<float> repeat = input;
        const auto repeat_gains = limiter.process(repeat, channels);
        ASSERT_TRUE(repeat_gains.has_value());
        ASSERT_TRUE(same_bits(repeat, samples)) << trial;
        ASSERT_TRUE(same_bits(frame_gains_of(*repeat_gains), frame_gains_of(*gains))) << trial;
    }
}

}  // namespace
