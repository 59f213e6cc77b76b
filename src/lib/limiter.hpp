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

// A limiter: the values derived once from its settings, and the envelope
// state that every processing call resets and advances.
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

    std::uint32_t sample_rate;
    double threshold_dBFS;
    double threshold;                  // linear ceiling, in [0, 1]
    std::uint64_t lookahead_samples;   // at least 1
    std::uint64_t window_length;       // frames the moving minimum spans
    std::uint64_t hold_samples;        // window_length - lookahead_samples
    double release_samples;            // not rounded; may be +inf
    double release_coefficient;        // 1 / (release_samples + 1)
    EnvelopeState state;
};

// Splits a look-ahead of `lookahead_samples` frames into the lengths of the
// three smoothing stages; they sum to lookahead_samples + 2, and none is
// shorter than 1.
std::array<std::size_t, 3> design_stage_lengths(std::uint64_t lookahead_samples);

}  // namespace zarn
