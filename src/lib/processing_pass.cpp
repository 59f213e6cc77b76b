#include <algorithm>
#include <bit>
#include <cstdint>
#include <span>
#include <utility>

#include "envelope/float_bits.hpp"
#include "envelope/gain_envelope.hpp"
#include "lib/limiter.hpp"
#include "lib/non_finite_search.hpp"

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

// Sets the peaks of the window's frames [begin, end): the largest magnitude
// of the frame's samples, channel row after channel row. Magnitudes of
// finite floats are compared as bit patterns, which order them as their
// values.
void gather_peaks(const PassWindow& window, std::size_t begin, std::size_t end) {
    float* const peaks = window.gains;
    for (std::size_t c = 0; c < window.channels; ++c) {
        const float* const channel = window.samples + c * window.stride;
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

GainEnvelope Limiter::envelope() {
    return {state, threshold, lookahead_samples, window_length, release_coefficient};
}

void Limiter::restart() {
    envelope().reset();
}

std::size_t Limiter::advance(const PassWindow& window, bool last) {
    const std::uint64_t known = window.first_frame + window.frames;
    if (last && window.frames == 0) {
        return 0;
    }
    // The run's iterations end with the last frame seen, or, at the end of
    // the run, lookahead_samples iterations of silence later; the frames
    // lookahead_samples before that end are decided.
    const std::uint64_t end_iteration = last ? known + lookahead_samples : known;
    const std::uint64_t decided_end = std::max(end_iteration, window.first_frame + lookahead_samples);
    const auto decided = static_cast<std::size_t>(decided_end - lookahead_samples - window.first_frame);
    GainEnvelope run = envelope();
    const FrameWindow frames{window.gains, window.first_frame, known};

    // Block by block, the peaks are formed just ahead of the envelope (which
    // reads lookahead_samples frames beyond the block) and the block's gains
    // are applied as soon as they are decided, while the gains and, for a
    // short look-ahead, the samples just read for the peaks are in cache.
    const auto ceiling = static_cast<float>(threshold);
    std::size_t peaks_end = window.peaks_gathered;
    for (std::size_t begin = 0; begin < decided; begin += block_frames) {
        const std::size_t count = std::min(block_frames, decided - begin);
        const auto needed = static_cast<std::size_t>(
            std::min<std::uint64_t>(window.frames, begin + count + lookahead_samples));
        gather_peaks(window, peaks_end, needed);
        peaks_end = std::max(peaks_end, needed);
        // A block whose samples lie within the ceiling and whose gains are
        // all 1.0 would be rewritten with the same bits (s x 1 = s, and the
        // clamp does nothing), so it is not written at all: quiet audio
        // then costs no memory writes. The peaks are read before the
        // envelope replaces them with the gains.
        const bool within_ceiling =
            magnitudes_at_most(window.gains + begin, count, magnitude_bits(ceiling));
        run.run_until(frames, window.first_frame + begin + count + lookahead_samples);
        if (within_ceiling && all_unity(window.gains + begin, count)) {
            continue;
        }
        for (std::size_t c = 0; c < window.channels; ++c) {
            apply_gains(window.samples + c * window.stride + begin, window.gains + begin, count,
                        ceiling);
        }
    }
    // The frames still undecided: their peaks are seen now, so that the next
    // step (or the end of the run) continues from every frame so far.
    if (peaks_end < window.frames) {
        gather_peaks(window, peaks_end, window.frames);
    }
    run.run_until(frames, end_iteration);
    return decided;
}

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
    restart();
    advance({.samples = samples.data(),
             .stride = frames,
             .channels = channels,
             .gains = frame_gains.data(),
             .first_frame = 0,
             .frames = frames,
             .peaks_gathered = 0},
            true);
    return frame_gains;
}

}  // namespace zarn
