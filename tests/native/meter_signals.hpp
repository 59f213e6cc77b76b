#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

#include "meter/loudness.hpp"
#include "meter/loudness_meter.hpp"

// Builds a meter from settings the test knows to be valid; an error fails
// the test with its text.
inline zarn::meter::LoudnessMeter make_meter(std::uint32_t sample_rate, std::size_t channels,
                                             bool reconstructed = false,
                                             std::span<const double> weights = {}) {
    auto meter = zarn::meter::LoudnessMeter::create(sample_rate, channels, weights, reconstructed);
    if (!meter) {
        throw std::runtime_error(meter.error().message());
    }
    return std::move(*meter);
}

// One segment of a test signal: a sine of `frequency` hertz whose peak is
// `level_dBFS`, starting at `phase` radians, in the channels of `channels`
// (a bit mask), for `seconds`; a raised-cosine fade of `fade_seconds` at
// each end keeps the onset from splattering over the whole band.
struct ToneSegment {
    double frequency;
    double level_dBFS;
    double seconds;
    unsigned channels = ~0u;
    double phase = 0.0;
    double fade_seconds = 0.0;
};

inline double fade_gain(const ToneSegment& segment, double t) {
    const double edge = std::min(t, segment.seconds - t);
    return edge >= segment.fade_seconds
               ? 1.0
               : 0.5 - 0.5 * std::cos(std::numbers::pi * edge / segment.fade_seconds);
}

// Interleaved frames of the segments one after the other.
inline std::vector<float> tones(std::uint32_t sample_rate, std::size_t channel_count,
                                std::span<const ToneSegment> segments) {
    std::vector<float> frames;
    for (const ToneSegment& segment : segments) {
        const auto length = static_cast<std::size_t>(std::llround(segment.seconds * sample_rate));
        const double amplitude = std::pow(10.0, segment.level_dBFS / 20.0);
        for (std::size_t t = 0; t < length; ++t) {
            const double angle =
                2.0 * std::numbers::pi * segment.frequency * static_cast<double>(t) / sample_rate +
                segment.phase;
            const double gain = fade_gain(segment, static_cast<double>(t) / sample_rate);
            const auto sample = static_cast<float>(gain * amplitude * std::sin(angle));
            for (std::size_t c = 0; c < channel_count; ++c) {
                frames.push_back((segment.channels >> c & 1u) != 0 ? sample : 0.0f);
            }
        }
    }
    return frames;
}

// The result of one meter fed `frames` in one block.
inline zarn::meter::Loudness measure(zarn::meter::LoudnessMeter meter,
                                     std::span<const float> frames) {
    if (auto error = meter.add(frames)) {
        throw std::runtime_error(error->message());
    }
    return meter.result();
}
