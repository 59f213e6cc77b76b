#include "reference_pass.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <utility>

#include "envelope/fused_multiply_add.hpp"
#include "target_gain_queue.hpp"

namespace {

using zarn::LimiterError;
using zarn::SampleBuffer;
using zarn::Limiter;

constexpr std::uint32_t largest_finite_bits = 0x7f7fffff;
constexpr double peak_offset = 0x1p-52;

std::optional<std::size_t> first_non_finite(std::span<const float> samples) {
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if ((std::bit_cast<std::uint32_t>(samples[i]) & 0x7fffffffu) > largest_finite_bits) {
            return i;
        }
    }
    return std::nullopt;
}

std::optional<LimiterError> validate(std::span<const float> samples, std::size_t channels) {
    if (channels == 0) {
        return LimiterError{zarn::ZeroChannels{}};
    }
    if (samples.size() % channels != 0) {
        return LimiterError{zarn::IndivisibleLength{samples.size(), channels}};
    }
    if (const auto position = first_non_finite(samples)) {
        return LimiterError{zarn::NonFiniteSample{*position}};
    }
    return std::nullopt;
}

double target_gain(double peak, double threshold) {
    return peak > threshold ? threshold / (peak + peak_offset) : 1.0;
}

void reset(zarn::EnvelopeState& state) {
    state.follower = 1.0;
    for (zarn::SmoothingStage& stage : state.stages) {
        stage.reset();
    }
}

// Peaks in, gains out, in place: one push, one follower step and one pass
// through the cascade per iteration.
void run_envelope(Limiter& limiter, std::span<float> values) {
    const std::uint64_t frames = values.size();
    const std::uint64_t lookahead = limiter.lookahead_samples;
    const double threshold = limiter.threshold;
    zarn::reference::TargetGainQueue queue(limiter.window_length);
    zarn::EnvelopeState& state = limiter.state;
    for (std::uint64_t i = 0; i < frames + lookahead; ++i) {
        const double peak = i < frames ? static_cast<double>(values[i]) : 0.0;
        const double window_minimum = queue.push(target_gain(peak, threshold));
        const double released = zarn::fused_multiply_add(window_minimum - state.follower,
                                                         limiter.release_coefficient,
                                                         state.follower);
        state.follower = window_minimum < released ? window_minimum : released;
        const double y1 = state.stages[0].smooth(state.follower);
        const double y2 = state.stages[1].smooth(y1);
        const double y3 = state.stages[2].smooth(y2);
        double y = y3 < 1.0 ? y3 : 1.0;
        y = y < 0.0 ? 0.0 : y;
        if (i >= lookahead) {
            float& frame = values[i - lookahead];
            const auto frame_peak = static_cast<double>(frame);
            if (y * frame_peak > threshold) {
                y = threshold / (frame_peak + peak_offset);
            }
            frame = static_cast<float>(y);
        }
    }
}

}  // namespace

zarn::Expected<SampleBuffer, LimiterError> reference_process(Limiter& limiter,
                                                             std::span<float> samples,
                                                             std::size_t channels) {
    if (auto error = validate(samples, channels)) {
        return zarn::Unexpected(std::move(*error));
    }
    const std::size_t frames = samples.size() / channels;
    SampleBuffer gains(frames);
    std::fill_n(gains.data(), frames, 0.0f);
    for (std::size_t c = 0; c < channels; ++c) {
        for (std::size_t t = 0; t < frames; ++t) {
            const float magnitude = std::abs(samples[c * frames + t]);
            gains.data()[t] = magnitude > gains.data()[t] ? magnitude : gains.data()[t];
        }
    }
    reset(limiter.state);
    if (frames == 0) {
        return gains;
    }
    run_envelope(limiter, gains.span());
    const auto ceiling = static_cast<float>(limiter.threshold);
    for (std::size_t c = 0; c < channels; ++c) {
        for (std::size_t t = 0; t < frames; ++t) {
            float sample = samples[c * frames + t] * gains.data()[t];
            sample = sample < -ceiling ? -ceiling : sample;
            sample = sample > ceiling ? ceiling : sample;
            samples[c * frames + t] = sample;
        }
    }
    return gains;
}
