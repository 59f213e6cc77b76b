#include <algorithm>
#include <bit>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "envelope/float_bits.hpp"
#include "envelope/gain_envelope.hpp"
#include "lib/limiter.hpp"

// The pass in blocks, with checks that only read and vectorise, skipping
// the writes of quiet blocks. The tests compare it, errors, gains and
// samples bit for bit, with the straightforward pass of tests/native
// (reference_pass.cpp), which goes one step after another over the whole
// buffer.

namespace zarn {

namespace {

// Frames per block of the passes over the buffer: a block of gains (16 KiB)
// and the samples it scales stay in the first- or second-level cache
// between the peaks, the envelope and the gain application.
constexpr std::size_t block_frames = 4096;

// Position of the first NaN or infinite sample, in buffer order.
std::optional<std::size_t> first_non_finite(std::span<const float> samples) {
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (magnitude_bits(samples[i]) > largest_finite_bits) {
            return i;
        }
    }
    return std::nullopt;
}

// Position of the first non-finite sample in buffer order, found block by
// block so that a buffer without one is only read, at full speed.
std::optional<std::size_t> find_non_finite(std::span<const float> samples) {
    for (std::size_t begin = 0; begin < samples.size(); begin += block_frames) {
        const std::size_t count = std::min(block_frames, samples.size() - begin);
        if (!magnitudes_at_most(samples.data() + begin, count, largest_finite_bits)) {
            return begin + *first_non_finite(samples.subspan(begin, count));
        }
    }
    return std::nullopt;
}

// Sets the peaks of frames [begin, end): the largest magnitude of the
// frame's samples, channel block after channel block. Magnitudes of finite
// floats are compared as bit patterns, which order them as their values.
void gather_peaks(std::span<const float> samples, std::size_t channels, std::size_t begin,
                  std::size_t end, float* peaks) {
    const std::size_t frames = samples.size() / channels;
    for (std::size_t c = 0; c < channels; ++c) {
        const float* const channel = samples.data() + c * frames;
        for (std::size_t t = begin; t < end; ++t) {
            const std::uint32_t magnitude = magnitude_bits(channel[t]);
            const std::uint32_t peak = c == 0 ? 0 : std::bit_cast<std::uint32_t>(peaks[t]);
            peaks[t] = std::bit_cast<float>(magnitude > peak ? magnitude : peak);
        }
    }
}

// Whether all of `count` gains are exactly 1.0.
bool all_unity(const float* gains, std::size_t count) {
    constexpr auto unity_bits = std::bit_cast<std::uint32_t>(1.0f);
    std::uint32_t differences = 0;
    for (std::size_t t = 0; t < count; ++t) {
        differences |= std::bit_cast<std::uint32_t>(gains[t]) ^ unity_bits;
    }
    return differences == 0;
}

// Scales one channel's frames by their gains and clamps them to
// [-ceiling, ceiling].
void apply_gains(float* channel, const float* gains, std::size_t count, float ceiling) {
    for (std::size_t t = 0; t < count; ++t) {
        float sample = channel[t] * gains[t];
        sample = sample < -ceiling ? -ceiling : sample;
        sample = sample > ceiling ? ceiling : sample;
        channel[t] = sample;
    }
}

}  // namespace

Expected<SampleBuffer, LimiterError> Limiter::process(std::span<float> samples,
                                                     std::size_t channels) {
    if (channels == 0) {
        return Unexpected(LimiterError{ZeroChannels{}});
    }
    if (samples.size() % channels != 0) {
        return Unexpected(LimiterError{IndivisibleLength{samples.size(), channels}});
    }
    if (const auto position = find_non_finite(samples)) {
        return Unexpected(LimiterError{NonFiniteSample{*position}});
    }
    const std::size_t frames = samples.size() / channels;
    SampleBuffer frame_gains(frames);
    GainEnvelope envelope{state, threshold, lookahead_samples, window_length, release_coefficient};
    envelope.reset();

    // Block by block, the peaks are formed just ahead of the envelope (which
    // reads lookahead_samples frames beyond the block) and the block's gains
    // are applied as soon as they are decided, while the gains and, for a
    // short look-ahead, the samples just read for the peaks are in cache.
    const auto ceiling = static_cast<float>(threshold);
    std::size_t peaks_end = 0;
    for (std::size_t begin = 0; begin < frames; begin += block_frames) {
        const std::size_t count = std::min(block_frames, frames - begin);
        const auto needed = static_cast<std::size_t>(
            std::min<std::uint64_t>(frames, begin + count + lookahead_samples));
        gather_peaks(samples, channels, peaks_end, needed, frame_gains.data());
        peaks_end = needed;
        // A block whose samples lie within the ceiling and whose gains are
        // all 1.0 would be rewritten with the same bits (s x 1 = s, and the
        // clamp does nothing), so it is not written at all: quiet audio
        // then costs no memory writes. The peaks are read before the
        // envelope replaces them with the gains.
        const bool within_ceiling =
            magnitudes_at_most(frame_gains.data() + begin, count, magnitude_bits(ceiling));
        envelope.run_until(frame_gains.span(), begin + count);
        if (within_ceiling && all_unity(frame_gains.data() + begin, count)) {
            continue;
        }
        for (std::size_t c = 0; c < channels; ++c) {
            apply_gains(samples.data() + c * frames + begin, frame_gains.data() + begin, count,
                        ceiling);
        }
    }
    return frame_gains;
}

}  // namespace zarn
