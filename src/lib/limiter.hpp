#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "envelope/gain_envelope.hpp"
#include "lib/expected.hpp"
#include "lib/limiter_error.hpp"
#include "lib/limiter_settings.hpp"
#include "lib/sample_buffer.hpp"

namespace zarn {

// Frames of a pass in memory, channel-major: sample (c, k) of frame
// first_frame + k is samples[c * stride + k], for k < frames. gains[k]
// holds that frame's peak once gathered and its gain once decided; the
// peaks of the first peaks_gathered frames are already there.
struct PassWindow {
    float* samples;
    std::size_t stride;
    std::size_t channels;
    float* gains;
    std::uint64_t first_frame;
    std::size_t frames;
    std::size_t peaks_gathered;
};

// A limiter: the values derived once from its settings, and the envelope
// state that a pass resets and advances.
struct Limiter {
    // Validates the settings and derives every sample count. Returns the
    // first configuration error; throws std::bad_alloc when the moving
    // minimum and the stage rings cannot be stored (checked before anything
    // is allocated, so huge look-ahead or hold times fail at once).
    static Expected<Limiter, LimiterError> create(std::uint32_t sample_rate,
                                                  const LimiterSettings& settings);

    // Limits a channel-major buffer (channel after channel, `channels` blocks
    // of equal length) in place and returns one linked gain per frame. A
    // buffer that fails validation is left untouched and so is the limiter.
    // Throws std::bad_alloc if the frame gains cannot be allocated.
    Expected<SampleBuffer, LimiterError> process(std::span<float> samples, std::size_t channels);

    // Starts a new pass: the next frame is frame 0 of a new run.
    void restart();

    // One step of a pass, the whole buffer's or a stream's: gathers the
    // peaks of the window's frames not gathered yet, runs the envelope over
    // every frame seen so far (and, when `last`, over the silence after
    // them), and limits in place the window's frames whose gains are now
    // decided. Returns their number, counted from the window's start: every
    // frame when `last`, otherwise those lookahead_samples or more frames
    // before the end of the window. The window holds every frame not yet
    // decided when the step starts; its samples are finite. Allocates
    // nothing.
    std::size_t advance(const PassWindow& window, bool last);

    std::uint32_t sample_rate;
    double threshold_dBFS;
    double threshold;                  // linear ceiling, in [0, 1]
    std::uint64_t lookahead_samples;   // at least 1
    std::uint64_t window_length;       // frames the moving minimum spans
    std::uint64_t hold_samples;        // window_length - lookahead_samples
    double release_samples;            // not rounded; may be +inf
    double release_coefficient;        // 1 / (release_samples + 1)
    EnvelopeState state;

private:
    GainEnvelope envelope();
};

// Splits a look-ahead of `lookahead_samples` frames into the lengths of the
// three smoothing stages; they sum to lookahead_samples + 2, and none is
// shorter than 1.
std::array<std::size_t, 3> design_stage_lengths(std::uint64_t lookahead_samples);

}  // namespace zarn
