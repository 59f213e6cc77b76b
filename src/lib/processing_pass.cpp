#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "envelope/gain_envelope.hpp"
#include "lib/zarn_limiter.hpp"

namespace zarn {

namespace {

// Magnitude bits of the largest finite float; NaN and the infinities have
// larger ones.
constexpr std::uint32_t largest_finite_bits = 0x7f7fffff;

// Position of the first NaN or infinite sample, in buffer order.
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
        return LimiterError{ZeroChannels{}};
    }
    if (samples.size() % channels != 0) {
        return LimiterError{IndivisibleLength{samples.size(), channels}};
    }
    if (const auto position = first_non_finite(samples)) {
        return LimiterError{NonFiniteSample{*position}};
    }
    return std::nullopt;
}

// Raises each frame's peak to the magnitude of this channel's sample.
void gather_peaks(std::span<const float> channel, float* peaks) {
    for (std::size_t t = 0; t < channel.size(); ++t) {
        const float magnitude = std::abs(channel[t]);
        peaks[t] = magnitude > peaks[t] ? magnitude : peaks[t];
    }
}

// Scales one channel by the frame gains and clamps it to [-ceiling, ceiling].
void apply_gains(std::span<float> channel, const float* gains, float ceiling) {
    for (std::size_t t = 0; t < channel.size(); ++t) {
        float sample = channel[t] * gains[t];
        sample = sample < -ceiling ? -ceiling : sample;
        sample = sample > ceiling ? ceiling : sample;
        channel[t] = sample;
    }
}

}  // namespace

std::expected<SampleBuffer, LimiterError> ZarnLimiter::process(std::span<float> samples,
                                                               std::size_t channels) {
    if (auto error = validate(samples, channels)) {
        return std::unexpected(std::move(*error));
    }
    const std::size_t frames = samples.size() / channels;
    SampleBuffer frame_gains(frames);
    std::fill_n(frame_gains.data(), frames, 0.0f);
    for (std::size_t c = 0; c < channels; ++c) {
        gather_peaks(samples.subspan(c * frames, frames), frame_gains.data());
    }

    GainEnvelope envelope{peak_window,         stages, gain, threshold, lookahead_samples,
                          release_coefficient};
    envelope.reset();
    if (frames == 0) {
        return frame_gains;
    }
    envelope.run(frame_gains.span());

    const auto ceiling = static_cast<float>(threshold);
    for (std::size_t c = 0; c < channels; ++c) {
        apply_gains(samples.subspan(c * frames, frames), frame_gains.data(), ceiling);
    }
    return frame_gains;
}

}  // namespace zarn
