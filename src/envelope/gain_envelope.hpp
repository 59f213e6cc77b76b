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
// moving minimum of the target gains, the release follower, the three
// smoothing stages of the attack cascade and the run's progress. A run may
// be taken up again later (a stream, block after block) from this state
// alone.
struct EnvelopeState {
    SlidingMinimum target_minimum;
    std::array<SmoothingStage, 3> stages;
    // The release follower: the gain before smoothing, 1.0 when neutral.
    double follower = 1.0;
    // Progress of the current run: the next iteration pushes the target of
    // frame next_iteration and yields the gain of the frame
    // lookahead_samples before it.
    std::uint64_t next_iteration = 0;
    // Frames at or below the threshold since the last one above it.
    std::uint64_t quiet_frames = 0;
    // Consecutive iterations in which the follower stayed at a fixed point
    // with a window minimum of 1.0.
    std::uint64_t settled_iterations = 0;
};

// The frames of a run that are in memory: values[k] belongs to frame
// first_frame + k and holds its peak until its gain replaces it. The run
// has seen frames_known frames so far; iterations never read a peak past
// them, and those at or past it read silence.
struct FrameWindow {
    float* values;
    std::uint64_t first_frame;
    std::uint64_t frames_known;
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

    // The same, in steps: runs the iterations up to `end_iteration`,
    // continuing where the previous step of this run stopped, and so gives
    // the frames before end_iteration - lookahead_samples their gains.
    // Iteration i reads the peak of frame i while i < frames_known and
    // silence after; the window must hold every frame from the one the
    // next iteration yields (or the first, early in the run) to the last
    // one that an iteration of this step reads.
    void run_until(FrameWindow window, std::uint64_t end_iteration);
};

}  // namespace zarn
