#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <ostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "lib/limiter.hpp"
#include "make_limiter.hpp"
#include "reference_pass.hpp"

// The library's processing pass against the plain one of reference_pass.cpp:
// same errors, same frame gains and same samples, bit for bit, on edge
// configurations and on buffers that switch between loud and quiet at every
// offset.

namespace {

using zarn::Limiter;

struct Settings {
    std::uint32_t sample_rate;
    double threshold_dBFS;
    double attack_ms;
    double hold_ms;
    double release_ms;
};

// Short, with every double in the fewest digits that name it (1e+308, not
// 309 digits).
std::string describe(const Settings& s) {
    std::ostringstream text;
    text << s.sample_rate << " Hz, " << s.threshold_dBFS << " dBFS, attack " << s.attack_ms
         << " ms, hold " << s.hold_ms << " ms, release " << s.release_ms << " ms";
    return text.str();
}

Limiter limiter_for(const Settings& s) {
    return make_limiter(s.sample_rate, {s.threshold_dBFS, s.attack_ms, s.hold_ms, s.release_ms});
}

bool same_bits(const float* a, const float* b, std::size_t count) {
    return count == 0 || std::memcmp(a, b, count * sizeof(float)) == 0;
}

// Limits `input` with both passes (twice with the library's, so that a state
// left over by one call would show in the next) and expects identical bits.
void expect_same_as_reference(const Settings& settings, const std::vector<float>& input,
                              std::size_t channels, const std::string& what) {
    Limiter reference_limiter = limiter_for(settings);
    Limiter limiter = limiter_for(settings);
    std::vector<float> expected = input;
    const auto expected_gains = reference_process(reference_limiter, expected, channels);

    for (int call = 0; call < 2; ++call) {
        std::vector<float> samples = input;
        const auto gains = limiter.process(samples, channels);
        ASSERT_EQ(gains.has_value(), expected_gains.has_value()) << what;
        if (!gains) {
            EXPECT_EQ(gains.error().message(), expected_gains.error().message()) << what;
            EXPECT_TRUE(same_bits(samples.data(), input.data(), input.size())) << what;
            continue;
        }
        ASSERT_EQ(gains->size(), expected_gains->size()) << what;
        for (std::size_t t = 0; t < gains->size(); ++t) {
            ASSERT_EQ(std::bit_cast<std::uint32_t>(gains->data()[t]),
                      std::bit_cast<std::uint32_t>(expected_gains->data()[t]))
                << what << ", call " << call << ", frame " << t << ": " << gains->data()[t]
                << " instead of " << expected_gains->data()[t];
        }
        ASSERT_TRUE(same_bits(samples.data(), expected.data(), expected.size()))
            << what << ", call " << call;
        // The run state ends where the plain pass leaves it too.
        EXPECT_EQ(std::bit_cast<std::uint64_t>(limiter.state.follower),
                  std::bit_cast<std::uint64_t>(reference_limiter.state.follower))
            << what;
        for (std::size_t s = 0; s < limiter.state.stages.size(); ++s) {
            const zarn::SmoothingStage& stage = limiter.state.stages[s];
            const zarn::SmoothingStage& expected_stage = reference_limiter.state.stages[s];
            EXPECT_EQ(stage.position, expected_stage.position) << what << ", stage " << s;
            EXPECT_EQ(std::bit_cast<std::uint64_t>(stage.sum),
                      std::bit_cast<std::uint64_t>(expected_stage.sum))
                << what << ", stage " << s;
            EXPECT_EQ(std::memcmp(stage.buffer.get(), expected_stage.buffer.get(),
                                  stage.length * sizeof(double)),
                      0)
                << what << ", stage " << s;
        }
    }
}

// Configurations on the edges: look-ahead of one frame, no hold, instant and
// never-ending release, a threshold that underflows to 0, and ordinary ones.
// Long look-aheads and windows span several of the blocks in which the pass
// works through a buffer.
const std::array<Settings, 12> edge_settings = {{
    {1000, 0.0, 4.0, 2.0, 3.0},
    {1000, 0.0, 1.0, 0.0, 0.0},
    {1000, -3.0, 1.0, 5.0, 10.0},
    {1000, -6.0, 7.0, 0.0, 1e308},
    {48000, -1.0, 5.0, 15.0, 40.0},
    {48000, -7000.0, 2.0, 1.0, 50.0},
    {44100, -12.0, 0.5, 0.0, 0.0},
    {8000, -0.5, 3.0, 40.0, 1e308},
    {1000, -2.0, 13.0, 1.0, 7.0},
    {48000, -1.0, 50.0, 100.0, 500.0},
    {44100, -0.1, 30.0, 0.0, 0.0},
    {8000, -1.0, 600.0, 10.0, 50.0},
}};

// Loud bursts (above any ceiling but the largest) in silence or quiet noise,
// of random lengths, so that the quiet stretches between them start and end
// at every offset of the envelope's internal blocks.
std::vector<float> bursts(std::mt19937_64& random, std::size_t frames, std::size_t channels,
                          std::size_t longest_gap) {
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::uniform_int_distribution<std::size_t> gap(0, longest_gap);
    std::uniform_int_distribution<std::size_t> burst(1, 40);
    std::uniform_int_distribution<int> kind(0, 3);
    std::vector<float> samples(frames * channels, 0.0f);
    const float quiet = kind(random) == 0 ? 0.0f : 1e-3f;
    for (std::size_t t = 0; t < frames;) {
        const std::size_t quiet_end = std::min(frames, t + gap(random));
        for (; t < quiet_end; ++t) {
            for (std::size_t c = 0; c < channels; ++c) {
                samples[c * frames + t] = quiet * unit(random);
            }
        }
        const std::size_t loud_end = std::min(frames, t + burst(random));
        const float level = kind(random) == 0 ? 1e30f : 3.0f;
        for (; t < loud_end; ++t) {
            for (std::size_t c = 0; c < channels; ++c) {
                samples[c * frames + t] = level * unit(random);
            }
        }
    }
    return samples;
}

void PrintTo(const Settings& settings, std::ostream* out) {
    *out << describe(settings);
}

class SameAsReference : public testing::TestWithParam<Settings> {};

TEST_P(SameAsReference, OnBurstsAndQuietStretches) {
    std::mt19937_64 random(7);
    for (const std::size_t longest_gap : {5u, 60u, 700u, 20000u}) {
        for (int trial = 0; trial < 6; ++trial) {
            const std::size_t channels = 1 + trial % 3;
            const std::size_t frames = 1 + random() % 30000;
            expect_same_as_reference(GetParam(), bursts(random, frames, channels, longest_gap),
                                     channels,
                                     describe(GetParam()) + ", gap " +
                                         std::to_string(longest_gap) + ", trial " +
                                         std::to_string(trial));
        }
    }
}

TEST_P(SameAsReference, OnSilenceAndBuffersOfEveryShortLength) {
    for (std::size_t frames = 0; frames < 70; ++frames) {
        std::vector<float> samples(2 * frames, 0.0f);
        expect_same_as_reference(GetParam(), samples, 2, "silence of " + std::to_string(frames));
        for (std::size_t t = 0; t < frames; ++t) {
            samples[t] = t % 3 == 0 ? 2.5f : -0.25f;
        }
        expect_same_as_reference(GetParam(), samples, 2, "pattern of " + std::to_string(frames));
    }
}

// One loud frame at many positions of a long quiet buffer, then a second
// one at a range of distances after it: the quiet stretch is entered and
// left at every offset, before and after the envelope has settled, and
// across the envelope's internal blocks of 1024 and 4096 frames.
TEST_P(SameAsReference, OnLoudFramesAtEveryPosition) {
    constexpr std::size_t frames = 4300;
    for (std::size_t first = 0; first < frames; first += first % 1024 < 100 ? 3 : 101) {
        for (const std::size_t distance : {1u, 2u, 3u, 5u, 9u, 17u, 33u, 65u, 129u}) {
            std::vector<float> samples(frames, 0.1f);
            samples[first] = 4.0f;
            if (first + distance < frames) {
                samples[first + distance] = -2.0f;
            }
            expect_same_as_reference(GetParam(), samples, 1,
                                     "loud at " + std::to_string(first) + " and +" +
                                         std::to_string(distance));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EdgeConfigurations, SameAsReference, testing::ValuesIn(edge_settings));

// Random configurations on random signals: smooth music-like waves with
// quiet passages, noise at any loudness, the largest floats and zeros.
TEST(SameAsReference, OnRandomConfigurationsAndSignals) {
    std::mt19937_64 random(20261208);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const std::array<std::uint32_t, 4> rates = {1000, 8000, 44100, 48000};
    for (int trial = 0; trial < 150; ++trial) {
        const Settings settings{rates[random() % 4], random() % 8 == 0 ? -7000.0 : -30.0 * unit(random),
                                random() % 8 == 0 ? 0.001 : 0.5 + 10.0 * unit(random),
                                random() % 4 == 0 ? 0.0 : 20.0 * unit(random),
                                random() % 6 == 0   ? 0.0
                                : random() % 6 == 0 ? 1e308
                                                    : 100.0 * unit(random)};
        if (std::round(settings.attack_ms * settings.sample_rate / 1000.0) == 0.0) {
            continue;
        }
        const std::size_t channels = 1 + random() % 3;
        const std::size_t frames = random() % 4 == 0 ? random() % 10 : random() % 20000;
        std::vector<float> samples(frames * channels);
        const double loudness = std::pow(10.0, 3.0 * unit(random) - 2.0);
        const double frequency = 0.001 + 0.05 * unit(random);
        const int kind = static_cast<int>(random() % 3);
        for (std::size_t i = 0; i < samples.size(); ++i) {
            const double t = static_cast<double>(i % (frames == 0 ? 1 : frames));
            const double swell = std::sin(0.0007 * t);
            samples[i] = kind == 0   ? static_cast<float>(loudness * swell * std::sin(frequency * t))
                         : kind == 1 ? static_cast<float>(loudness * (2.0 * unit(random) - 1.0))
                         : random() % 50 == 0
                             ? (random() % 2 ? std::numeric_limits<float>::max()
                                             : -std::numeric_limits<float>::max())
                             : static_cast<float>(0.01 * loudness * unit(random));
        }
        expect_same_as_reference(settings, samples, channels,
                                 describe(settings) + ", trial " + std::to_string(trial));
    }
}

// The first non-finite sample in buffer order is reported, wherever it sits
// and whatever follows it, and the buffer stays as it was.
TEST(SameAsReference, ReportsTheFirstNonFiniteSample) {
    std::mt19937_64 random(3);
    const std::array<float, 4> bad = {std::numeric_limits<float>::quiet_NaN(),
                                      std::numeric_limits<float>::infinity(),
                                      -std::numeric_limits<float>::infinity(),
                                      -std::numeric_limits<float>::quiet_NaN()};
    const Settings settings{1000, 0.0, 4.0, 2.0, 3.0};
    for (int trial = 0; trial < 200; ++trial) {
        const std::size_t channels = 1 + trial % 3;
        const std::size_t frames = 1 + random() % 9000;
        std::vector<float> samples = bursts(random, frames, channels, 50);
        const std::size_t count = 1 + random() % 3;
        for (std::size_t k = 0; k < count; ++k) {
            samples[random() % samples.size()] = bad[random() % bad.size()];
        }
        expect_same_as_reference(settings, samples, channels,
                                 "non-finite trial " + std::to_string(trial));
    }
}

}  // namespace
