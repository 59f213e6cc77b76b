#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "envelope/peak_window.hpp"
#include "envelope/smoothing_stage.hpp"

namespace zarn {

// The gain envelope of one limiter: a view of its envelope state (window,
// stages, release follower) and of the settings that drive it. It turns the
// peaks of one buffer's frames into one linked gain per frame.
struct GainEnvelope {
    PeakWindow& peak_window;
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
};

// The gain that brings a frame with peak `peak` down to `threshold`, or 1.0
// when the peak is not above it. The tiny offset keeps the divisor nonzero.
double target_gain(double peak, double threshold);

}  // namespace zarn
