#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "envelope/sliding_minimum.hpp"
#include "envelope/smoothing_stage.hpp"

namespace zarn {

// Added to a peak before it divides the threshold, so that the divisor is
// never zero: double-precision machine epsilon, 2^-52.
inline constexpr double peak_offset = 0x1p-52;

// The gain that brings a frame with peak `peak` down to `threshold`.
inline double gain_to_threshold(double peak, double threshold) {
    return threshold / (peak + peak_offset);
}

// The target gain of a frame: what brings its peak to the threshold, or 1.0
// when the peak is not above it.
inline double target_gain(double peak, double threshold) {
    return peak > threshold ? gain_to_threshold(peak, threshold) : 1.0;
}

// What one run of the envelope advances and every run first resets: the
// moving minimum of the target gains, the release follower and the three
// smoothing stages of the attack cascade.
struct EnvelopeState {
    SlidingMinimum target_minimum;
    std::array<SmoothingStage, 3> stages;
    // The release follower: the gain before smoothing, 1.0 when neutral.
    double follower = 1.0;
};

// One run of the gain envelope over a buffer's frames: the limiter's
// envelope state and the settings that drive it. It turns the peaks of the
// frames into one linked gain per frame.
//
// Stretches in which every frame of the window is at or below the
// threshold skip the moving minimum entirely, and once the release follower
// has settled there, the gains are written in bulk. The tests compare every
// gain, bit for bit, with the straightforward pass of tests/native
// (reference_pass.cpp), which takes one frame at a time through a
// monotonic queue, the follower and the stages.
struct GainEnvelope {
    EnvelopeState& state;
    double threshold;                 // linear ceiling, never negative
    std::uint64_t lookahead_samples;  // at least 1
    std::uint64_t window_length;      // look-ahead plus hold, at least 1
    double release_coefficient;       // in [0, 1]

    // Neutral state: no frame seen, follower 1.0, every stage reset.
    void reset();

    // Overwrites the peak of every frame with its gain, in place. The gain
    // of frame t is decided lookahead_samples frames later, after the peaks
    // of the frames that follow it (silence past the end) have been seen.
    // Expects a reset envelope and at least one frame.
    void run(std::span<float> frame_gains);

    // The same, in steps: gives frames [0, end_frame) their gains (reading
    // the peaks of up to lookahead_samples frames beyond), continuing where
    // the previous step of this run stopped. The span is the whole buffer's
    // every time.
    void run_until(std::span<float> frame_gains, std::size_t end_frame);

    // Progress of the current run.
    std::uint64_t next_iteration = 0;
    // Frames at or below the threshold since the last one above it.
    std::uint64_t quiet_frames = 0;
    // Consecutive iterations in which the follower stayed at a fixed point
    // with a window minimum of 1.0.
    std::uint64_t settled_iterations = 0;
};

}  // namespace zarn
