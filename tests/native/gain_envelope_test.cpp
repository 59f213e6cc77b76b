#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <random>
#include <vector>

#include "envelope/gain_envelope.hpp"
#include "lib/limiter.hpp"
#include "lib/limiter_error.hpp"
#include "make_limiter.hpp"
#include "target_gain_queue.hpp"

namespace {

using zarn::reference::TargetGainQueue;

// Runs the envelope of `limiter` over `peaks` and returns the frame gains.
std::vector<float> envelope_gains(zarn::Limiter& limiter, std::vector<float> peaks) {
    zarn::GainEnvelope envelope{limiter.state, limiter.threshold, limiter.lookahead_samples,
                                limiter.window_length, limiter.release_coefficient};
    envelope.reset();
    envelope.run(peaks);
    return peaks;
}

std::vector<float> loud_frame_at_five() {
    std::vector<float> peaks(12, 0.0f);
    peaks[5] = 2.0f;
    return peaks;
}

TEST(TargetGainQueue, FrontIsTheMinimumOfTheLastWindowLengthGains) {
    std::mt19937_64 random(1);
    for (std::uint64_t window_length : {1u, 2u, 3u, 7u, 64u, 100u}) {
        TargetGainQueue window(window_length);
        // Few distinct values, so that equal gains meet in the queue.
        std::uniform_int_distribution<int> level(0, 5);
        std::vector<double> pushed;
        for (int round = 0; round < 2; ++round) {
            window.reset();
            pushed.clear();
            for (int i = 0; i < 2000; ++i) {
                const double gain = level(random) / 5.0;
                pushed.push_back(gain);
                const std::size_t first =
                    pushed.size() > window_length ? pushed.size() - window_length : 0;
                const double expected = *std::min_element(pushed.begin() + first, pushed.end());
                ASSERT_EQ(window.push(gain), expected) << window_length << " " << i;
                ASSERT_LE(window.back - window.front, window_length);
            }
            EXPECT_EQ(window.next_frame, 2000u);
        }
    }
}

TEST(TargetGainQueue, EmptyQueueAfterAPushIsAnInternalError) {
    TargetGainQueue window(1);
    window.window_length = 0;  // breaks the invariant that W is at least 1
    EXPECT_THROW(window.push(0.5), zarn::InternalError);
}

TEST(TargetGainQueue, RingCapacityIsAPowerOfTwoAboveTheWindow) {
    EXPECT_EQ(TargetGainQueue::ring_capacity(1), 2u);
    EXPECT_EQ(TargetGainQueue::ring_capacity(1023), 1024u);
    EXPECT_EQ(TargetGainQueue::ring_capacity(1024), 2048u);
    // No overflow in W + 1, in the rounding up, or in the byte size.
    for (const std::uint64_t huge : {std::uint64_t{1} << 59, UINT64_MAX - 1, UINT64_MAX}) {
        EXPECT_EQ(TargetGainQueue::ring_capacity(huge), 0u);
    }
}

TEST(TargetGain, BringsThePeakToTheThreshold) {
    EXPECT_EQ(zarn::target_gain(0.0, 1.0), 1.0);
    EXPECT_EQ(zarn::target_gain(1.0, 1.0), 1.0);
    EXPECT_EQ(zarn::target_gain(2.0, 1.0), 1.0 / (2.0 + 0x1p-52));
    EXPECT_EQ(zarn::target_gain(1e-30, 0.0), 0.0);
    EXPECT_EQ(zarn::target_gain(0.0, 0.0), 1.0);
}

struct EnvelopeCase {
    double hold_ms;
    double release_ms;
    std::vector<float> gains;
};

void PrintTo(const EnvelopeCase& c, std::ostream* out) {
    *out << "hold " << c.hold_ms << " ms, release " << c.release_ms << " ms";
}

class WorkedEnvelope : public testing::TestWithParam<EnvelopeCase> {};

TEST_P(WorkedEnvelope, GivesTheExactGainSequence) {
    zarn::Limiter limiter =
        make_limiter(1000, {0.0, 4.0, GetParam().hold_ms, GetParam().release_ms});
    EXPECT_EQ(envelope_gains(limiter, loud_frame_at_five()), GetParam().gains);
    // A second run on the same state gives the same gains.
    EXPECT_EQ(envelope_gains(limiter, loud_frame_at_five()), GetParam().gains);
}

INSTANTIATE_TEST_SUITE_P(
    TwelveFrames, WorkedEnvelope,
    testing::Values(
        EnvelopeCase{2.0, 3.0,
                     {1.0f, 0.9375f, 0.75f, 0.5625f, 0.5f, 0.5f, 0.5f, 0.515625f, 0.57421875f,
                      0.6650390625f, 0.748779296875f, 0.81158447265625f}},
        EnvelopeCase{0.0, 0.0,
                     {1.0f, 0.9375f, 0.75f, 0.5625f, 0.5f, 0.5f, 0.75f, 0.9375f, 1.0f, 1.0f, 1.0f,
                      1.0f}}));

TEST(GainEnvelope, PeaksAtOrBelowTheThresholdKeepUnityGain) {
    zarn::Limiter limiter = make_limiter(44100, {-3.0, 5.0, 15.0, 40.0});
    const auto threshold = static_cast<float>(limiter.threshold);
    // The float nearest the threshold may lie just above it; take the one
    // below so every peak is at or below the ceiling.
    const float ceiling = static_cast<double>(threshold) > limiter.threshold
                              ? std::nextafter(threshold, 0.0f)
                              : threshold;
    std::mt19937_64 random(3);
    std::uniform_real_distribution<float> level(0.0f, ceiling);
    std::vector<float> peaks(5000);
    for (float& peak : peaks) {
        peak = level(random);
    }
    peaks[100] = ceiling;
    for (const float gain : envelope_gains(limiter, peaks)) {
        ASSERT_EQ(gain, 1.0f);
    }
}

TEST(GainEnvelope, ZeroThresholdSilencesEveryFrameWithSignal) {
    zarn::Limiter limiter = make_limiter(1000, {-7000.0, 4.0, 2.0, 3.0});
    ASSERT_EQ(limiter.threshold, 0.0);
    const std::vector<float> peaks = {0.0f, 1e-30f, 0.0f, 0.5f, 0.0f, 0.0f, 0.0f,
                                      0.0f, 0.0f,   0.0f, 0.0f, 0.0f, 0.0f, 3.0f};
    const std::vector<float> gains = envelope_gains(limiter, peaks);
    for (std::size_t t = 0; t < peaks.size(); ++t) {
        if (peaks[t] > 0.0f) {
            EXPECT_EQ(gains[t], 0.0f) << t;
        }
        EXPECT_FALSE(std::signbit(gains[t])) << t;
    }
}

TEST(GainEnvelope, BufferShorterThanTheLookaheadGetsOneGainPerFrame) {
    zarn::Limiter limiter = make_limiter(1000, {0.0, 4.0, 2.0, 3.0});
    // The frames are decided with the silent frames past the end; the ramp
    // towards the loud frame 2 began before the buffer did.
    EXPECT_EQ(envelope_gains(limiter, {0.0f, 0.0f, 2.0f}),
              (std::vector<float>{0.5625f, 0.5f, 0.5f}));
    EXPECT_EQ(envelope_gains(limiter, {4.0f}), (std::vector<float>{0.25f}));
}

}  // namespace
