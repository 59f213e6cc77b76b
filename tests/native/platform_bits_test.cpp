#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <vector>

#include "envelope/fused_multiply_add.hpp"
#include "make_limiter.hpp"

namespace {

// Stereo noise in bursts of changing loudness, so that the limiter keeps
// falling and releasing: channel-major, from the fully specified
// mt19937 and integer arithmetic only.
std::vector<float> noise_bursts(std::size_t frames) {
    std::mt19937 generator(2024);
    std::vector<float> samples(2 * frames);
    for (std::size_t t = 0; t < frames; ++t) {
        const float level = static_cast<float>((t / 1500) % 7 + 1) * 0.25f;
        for (std::size_t channel = 0; channel < 2; ++channel) {
            const auto unit = static_cast<float>(generator() >> 8) * 0x1p-23f - 1.0f;
            samples[channel * frames + t] = unit * level;
        }
    }
    return samples;
}

// FNV-1a over the bits of the limited samples, the frame gains and the
// envelope state the run leaves: the state is double precision, so it also
// shows differences too small to reach a float32 gain.
std::uint64_t bits_hash(const std::vector<float>& samples, const zarn::SampleBuffer& gains,
                        const zarn::Limiter& limiter) {
    std::uint64_t hash = 0xcbf29ce484222325u;
    const auto mix = [&hash](std::uint64_t bits) { hash = (hash ^ bits) * 0x100000001b3u; };
    for (const float sample : samples) {
        mix(std::bit_cast<std::uint32_t>(sample));
    }
    for (std::size_t t = 0; t < gains.size(); ++t) {
        mix(std::bit_cast<std::uint32_t>(gains.data()[t]));
    }
    mix(std::bit_cast<std::uint64_t>(limiter.state.follower));
    for (const zarn::SmoothingStage& stage : limiter.state.stages) {
        mix(std::bit_cast<std::uint64_t>(stage.sum));
    }
    return hash;
}

struct RunCase {
    double threshold_dBFS;
    std::uint64_t hash;
};

class SameBitsEverywhere : public testing::TestWithParam<RunCase> {};

// Every compiler, standard library, processor and system gives these bits:
// the threshold, the release follower's fused multiply-add and every other
// step are exactly specified.
std::uint64_t noise_bursts_hash(double threshold_dBFS) {
    zarn::Limiter limiter = make_limiter(
        48000, {.threshold_dBFS = threshold_dBFS, .attack_ms = 1.0, .hold_ms = 2.0,
                .release_ms = 20.0});
    std::vector<float> samples = noise_bursts(60000);
    const auto gains = limiter.process(samples, 2);
    if (!gains) {
        throw std::runtime_error(gains.error().message());
    }
    return bits_hash(samples, *gains, limiter);
}

TEST_P(SameBitsEverywhere, NoiseBursts) {
    EXPECT_EQ(noise_bursts_hash(GetParam().threshold_dBFS), GetParam().hash);
}

// Where the FMA instruction is chosen at run time, the integer version that
// processors without it use gives the same bits.
TEST_P(SameBitsEverywhere, NoiseBurstsWithoutTheFmaInstruction) {
#if ZARN_FMA_CHOSEN_AT_RUN_TIME
    struct Restore {
        bool enabled = zarn::fma_instruction_enabled;
        ~Restore() { zarn::fma_instruction_enabled = enabled; }
    } restore;
    zarn::fma_instruction_enabled = false;
    EXPECT_EQ(noise_bursts_hash(GetParam().threshold_dBFS), GetParam().hash);
#else
    GTEST_SKIP() << "this build does not choose the FMA instruction at run time";
#endif
}

INSTANTIATE_TEST_SUITE_P(Thresholds, SameBitsEverywhere,
                         testing::Values(RunCase{-0.1, 10426049142283409748u},
                                         RunCase{-7.651, 15584913228873054220u},
                                         RunCase{-22.367, 8457423872507668903u}));

}  // namespace
