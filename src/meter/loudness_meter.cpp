#include "meter/loudness_meter.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cmath>
#include <cstring>
#include <limits>

#include "meter/channel_weights.hpp"
#include "meter/interpolated_peak.hpp"
#include "meter/largest_magnitude.hpp"

namespace zarn::meter {

namespace {

// Below this the K-weighting's shelf (1682 Hz) would not fit under the
// Nyquist frequency with room to spare.
constexpr std::uint32_t lowest_sample_rate = 8000;

double decibels(float magnitude) {
    return magnitude > 0.0f ? 20.0 * std::log10(static_cast<double>(magnitude))
                            : -std::numeric_limits<double>::infinity();
}

float read_sample(const StridedBlock& block, std::size_t frame, std::size_t channel) {
    float sample;
    std::memcpy(&sample,
                block.first + static_cast<std::ptrdiff_t>(frame) * block.frame_stride +
                    static_cast<std::ptrdiff_t>(channel) * block.channel_stride,
                sizeof sample);
    return sample;
}

// Whether the block's samples are interleaved floats, frame after frame,
// each where a float may be read directly.
bool is_interleaved(const StridedBlock& block) {
    return block.channel_stride == static_cast<std::ptrdiff_t>(sizeof(float)) &&
           block.frame_stride ==
               static_cast<std::ptrdiff_t>(sizeof(float) * block.channels) &&
           reinterpret_cast<std::uintptr_t>(block.first) % alignof(float) == 0;
}

// Whether all of x[0..count) are finite: a float is not when its exponent
// bits are all set. Counting such samples vectorises; stopping at the first
// would not.
bool all_finite(const float* x, std::size_t count) {
    constexpr std::uint32_t exponent = 0x7f800000u;
    std::uint32_t non_finite = 0;
    for (std::size_t i = 0; i < count; ++i) {
        non_finite += (std::bit_cast<std::uint32_t>(x[i]) & exponent) == exponent ? 1u : 0u;
    }
    return non_finite == 0;
}

// The first non-finite sample in stream order, if any. An interleaved block
// is looked over as a whole first, and one frame at a time only if it holds
// one.
std::optional<NonFiniteSample> find_non_finite(const StridedBlock& block) {
    if (is_interleaved(block) &&
        all_finite(reinterpret_cast<const float*>(block.first), block.frames * block.channels)) {
        return std::nullopt;
    }
    for (std::size_t t = 0; t < block.frames; ++t) {
        for (std::size_t c = 0; c < block.channels; ++c) {
            if (!std::isfinite(read_sample(block, t, c))) {
                return NonFiniteSample{t, c};
            }
        }
    }
    return std::nullopt;
}

std::optional<MeterError> check_weights(std::span<const double> weights, std::size_t channels) {
    if (weights.size() != channels) {
        return MeterError{WeightCount{weights.size(), channels}};
    }
    for (std::size_t c = 0; c < channels; ++c) {
        if (!std::isfinite(weights[c]) || weights[c] < 0.0) {
            return MeterError{InvalidWeight{c, weights[c]}};
        }
    }
    return std::nullopt;
}

}  // namespace

Expected<LoudnessMeter, MeterError> LoudnessMeter::create(std::uint32_t sample_rate,
                                                          std::size_t channels,
                                                          std::span<const double> weights,
                                                          bool reconstructed) {
    if (sample_rate < lowest_sample_rate) {
        return Unexpected(MeterError{SampleRateTooLow{sample_rate}});
    }
    if (channels == 0) {
        return Unexpected(MeterError{NoChannels{}});
    }
    std::vector<double> chosen = weights.empty() ? default_channel_weights(channels)
                                                 : std::vector(weights.begin(), weights.end());
    if (auto error = check_weights(chosen, channels)) {
        return Unexpected(std::move(*error));
    }
    return LoudnessMeter(sample_rate, std::move(chosen), reconstructed);
}

LoudnessMeter::LoudnessMeter(std::uint32_t sample_rate, std::vector<double> weights,
                             bool reconstructed)
    : sample_rate_(sample_rate),
      weights_(std::move(weights)),
      // 100 ms, to the nearest frame.
      step_frames_((static_cast<std::uint64_t>(sample_rate) + 5) / 10),
      filter_(sample_rate, weights_.size()),
      step_energies_(weights_.size(), 0.0),
      steps_(step_frames_),
      buffers_(weights_.size() * (history + chunk_frames), 0.0f),
      sample_peaks_(weights_.size(), 0.0f),
      true_peaks_(weights_.size(), 0.0f),
      channel_inputs_(weights_.size(), nullptr) {
    if (reconstructed) {
        reconstructed_.emplace();
    }
}

float* LoudnessMeter::channel_buffer(std::size_t channel) noexcept {
    return buffers_.data() + channel * (history + chunk_frames);
}

std::optional<MeterError> LoudnessMeter::add(std::span<const float> interleaved) {
    const std::size_t count = channels();
    const auto stride = static_cast<std::ptrdiff_t>(sizeof(float));
    return add(StridedBlock{reinterpret_cast<const char*>(interleaved.data()),
                            interleaved.size() / count, count,
                            stride * static_cast<std::ptrdiff_t>(count), stride});
}

std::optional<MeterError> LoudnessMeter::add(const StridedBlock& block) {
    if (block.channels != channels()) {
        return MeterError{ChannelCount{block.channels, channels()}};
    }
    if (const auto bad = find_non_finite(block)) {
        return MeterError{NonFiniteSample{frames_seen_ + bad->frame, bad->channel}};
    }
    for (std::size_t first = 0; first < block.frames; first += chunk_frames) {
        const std::size_t frames = std::min(chunk_frames, block.frames - first);
        gather(block, first, frames);
        weigh(frames);
        measure_peaks(frames);
        for (std::size_t c = 0; c < channels(); ++c) {
            // The newest `history` samples of [history | chunk] lead the next chunk.
            float* buffer = channel_buffer(c);
            std::memmove(buffer, buffer + frames, history * sizeof(float));
        }
    }
    frames_seen_ += block.frames;
    return std::nullopt;
}

void LoudnessMeter::gather(const StridedBlock& block, std::size_t first_frame,
                           std::size_t frames) {
    if (is_interleaved(block)) {
        const float* frame = reinterpret_cast<const float*>(block.first) + first_frame * channels();
        // Stereo, the common case, in one pass that the compiler vectorises.
        if (channels() == 2) {
            float* left = channel_buffer(0) + history;
            float* right = channel_buffer(1) + history;
            for (std::size_t t = 0; t < frames; ++t) {
                left[t] = frame[2 * t];
                right[t] = frame[2 * t + 1];
            }
            return;
        }
        for (std::size_t c = 0; c < channels(); ++c) {
            float* out = channel_buffer(c) + history;
            for (std::size_t t = 0; t < frames; ++t) {
                out[t] = frame[t * channels() + c];
            }
        }
        return;
    }
    for (std::size_t c = 0; c < channels(); ++c) {
        float* out = channel_buffer(c) + history;
        for (std::size_t t = 0; t < frames; ++t) {
            out[t] = read_sample(block, first_frame + t, c);
        }
    }
}

// The chunk in runs that end where a 100 ms step ends.
void LoudnessMeter::weigh(std::size_t frames) {
    for (std::size_t done = 0; done < frames;) {
        const std::size_t length =
            static_cast<std::size_t>(std::min<std::uint64_t>(frames - done,
                                                             step_frames_ - frames_in_step_));
        for (std::size_t c = 0; c < channels(); ++c) {
            channel_inputs_[c] = channel_buffer(c) + history + done;
        }
        filter_.accumulate(channel_inputs_.data(), length, step_energies_.data());
        done += length;
        frames_in_step_ += length;
        if (frames_in_step_ == step_frames_) {
            end_step();
        }
    }
}

void LoudnessMeter::end_step() {
    double weighted = 0.0;
    for (std::size_t c = 0; c < channels(); ++c) {
        weighted += weights_[c] * step_energies_[c];
        step_energies_[c] = 0.0;
    }
    steps_.end_step(weighted);
    frames_in_step_ = 0;
}

void LoudnessMeter::measure_peaks(std::size_t frames) {
    for (std::size_t c = 0; c < channels(); ++c) {
        const float* newest = channel_buffer(c) + history;
        sample_peaks_[c] = std::max(sample_peaks_[c], largest_magnitude(newest, frames));
        // The points need only be worked out where they could exceed the
        // channel's true peak so far, which the sample peak is part of.
        const float known = std::max(sample_peaks_[c], true_peaks_[c]);
        true_peaks_[c] = interpolated_peak(newest, frames, known);
        if (reconstructed_) {
            reconstructed_->scan(newest, frames, sample_peaks_[c]);
        }
    }
}

Loudness LoudnessMeter::result() const {
    Loudness loudness{steps_.integrated_LUFS(), steps_.loudness_range_LU(),
                      steps_.momentary_max_LUFS(), steps_.short_term_max_LUFS(),
                      -std::numeric_limits<double>::infinity(), {},
                      -std::numeric_limits<double>::infinity(), std::nullopt};
    std::optional<ReconstructedPeak> reconstructed = reconstructed_;
    // The points after the last sample still see it: the filters run on
    // into silence, on copies of their history.
    std::vector<float> tail(history + history, 0.0f);
    float true_peak = 0.0f;
    float sample_peak = 0.0f;
    for (std::size_t c = 0; c < channels(); ++c) {
        std::copy_n(buffers_.data() + c * (history + chunk_frames), history, tail.begin());
        const float* after = tail.data() + history;
        const float channel_peak = interpolated_peak(
            after, interpolation_history, std::max(sample_peaks_[c], true_peaks_[c]));
        if (reconstructed) {
            reconstructed->scan(after, reconstruction_history, sample_peaks_[c]);
        }
        loudness.channel_true_peaks_dBTP.push_back(decibels(channel_peak));
        true_peak = std::max(true_peak, channel_peak);
        sample_peak = std::max(sample_peak, sample_peaks_[c]);
    }
    loudness.true_peak_dBTP = decibels(true_peak);
    loudness.sample_peak_dBFS = decibels(sample_peak);
    if (reconstructed) {
        loudness.reconstructed_peak_dBFS = decibels(reconstructed->peak());
    }
    return loudness;
}

}  // namespace zarn::meter
