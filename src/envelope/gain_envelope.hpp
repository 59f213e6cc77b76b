#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "envelope/peak_window.hpp"
#include "envelope/sliding_minimum.hpp"
#include "envelope/smoothing_stage.hpp"

namespace zarn {

// The gain envelope of one limiter: a view of its envelope state (window,
// stages, release follower) and of the settings that drive it. It turns the
// peaks of one buffer's frames into one linked gain per frame.
//
// The window minimum is kept by `window_minimum`, which gives the same
// minima as the queue of `peak_window` without its unpredictable branches;
// the queue itself is only reset. Stretches in which every frame of the
// window is at or below the threshold skip the window entirely, and once
// the release follower has settled there, the gains are written in bulk.
struct GainEnvelope {
    PeakWindow& peak_window;
    SlidingMinimum& window_minimum;
    std::array<SmoothingStage, 3>& stages;
    double& gain;              // release follower state
    double threshold;          // linear ceiling, never negative
    std::uint64_t lookahead_samples;  // at least 1
    double release_coefficient;       // in [0, 1]

    // Neutral state: empty window, gain 1.0, every stage reset.
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

// The gain that brings a frame with peak `peak` down to `threshold`, or 1.0
// when the peak is not above it. The tiny offset keeps the divisor nonzero.
double target_gain(double peak, double threshold);

}  // namespace zarn
