#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "lib/expected.hpp"
#include "meter/gating_steps.hpp"
#include "meter/k_weighting_filter.hpp"
#include "meter/loudness.hpp"
#include "meter/meter_error.hpp"
#include "meter/reconstructed_peak.hpp"

namespace zarn::meter {

// A block of samples somewhere in memory: sample (frame t, channel c) at
// `first` + t * frame_stride + c * channel_stride bytes. Strides may be
// zero, negative or unaligned; the samples are only read.
struct StridedBlock {
    const char* first;
    std::size_t frames;
    std::size_t channels;
    std::ptrdiff_t frame_stride;
    std::ptrdiff_t channel_stride;
};

// Loudness (integrated, range, momentary and short-term maxima) and true
// peak of a programme fed to it in blocks of any length. Its memory does
// not grow with the programme, and any division of a programme into blocks
// gives the same result to the last bit.
class LoudnessMeter {
public:
    // `weights`: one per channel, finite and non-negative; empty for the
    // defaults of default_channel_weights. `reconstructed`: also measure the
    // peak of the reconstructed signal, at extra cost.
    static Expected<LoudnessMeter, MeterError> create(std::uint32_t sample_rate,
                                                      std::size_t channels,
                                                      std::span<const double> weights,
                                                      bool reconstructed);

    // Adds a block with the meter's channel count. A block with a
    // non-finite sample is refused as a whole and leaves the meter as it was.
    std::optional<MeterError> add(const StridedBlock& block);
    // The same for interleaved samples, frame after frame; their count must
    // be a whole number of frames.
    std::optional<MeterError> add(std::span<const float> interleaved);

    // The measures of everything added so far; the stream may go on after.
    Loudness result() const;

    std::uint32_t sample_rate() const noexcept { return sample_rate_; }
    std::size_t channels() const noexcept { return weights_.size(); }
    const std::vector<double>& weights() const noexcept { return weights_; }
    bool reconstructed() const noexcept { return reconstructed_.has_value(); }

private:
    LoudnessMeter(std::uint32_t sample_rate, std::vector<double> weights, bool reconstructed);

    // The samples kept before a chunk: what the longest filter reads.
    static constexpr std::size_t history = reconstruction_history;
    static constexpr std::size_t chunk_frames = 2048;

    float* channel_buffer(std::size_t channel) noexcept;
    void gather(const StridedBlock& block, std::size_t first_frame, std::size_t frames);
    void weigh(std::size_t frames);
    void measure_peaks(std::size_t frames);
    void end_step();

    std::uint32_t sample_rate_;
    std::vector<double> weights_;
    std::uint64_t step_frames_;
    std::uint64_t frames_in_step_ = 0;
    std::uint64_t frames_seen_ = 0;
    KWeightingFilter filter_;
    std::vector<double> step_energies_;  // per channel, of the current step
    GatingSteps steps_;
    // Per channel: `history` samples, then room for one chunk.
    std::vector<float> buffers_;
    std::vector<float> sample_peaks_;
    std::vector<float> true_peaks_;  // per channel: samples and four-times points
    std::optional<ReconstructedPeak> reconstructed_;
    std::vector<const float*> channel_inputs_;  // where weigh() reads each channel
};

}  // namespace zarn::meter
