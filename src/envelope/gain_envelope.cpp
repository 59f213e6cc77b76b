#include "envelope/gain_envelope.hpp"

#include <cmath>

namespace zarn {

namespace {

// Double-precision machine epsilon, 2^-52.
constexpr double peak_offset = 0x1p-52;

}  // namespace

double target_gain(double peak, double threshold) {
    return peak > threshold ? threshold / (peak + peak_offset) : 1.0;
}

void GainEnvelope::reset() {
    peak_window.reset();
    gain = 1.0;
    for (SmoothingStage& stage : stages) {
        stage.reset();
    }
}

void GainEnvelope::run(std::span<float> frame_gains) {
    const std::uint64_t frames = frame_gains.size();
    float* const values = frame_gains.data();
    double follower = gain;

    for (std::uint64_t i = 0; i < frames + lookahead_samples; ++i) {
        // Past the last frame the window is fed silence until every frame
        // has been given its gain.
        const double peak = i < frames ? static_cast<double>(values[i]) : 0.0;
        const double window_minimum = peak_window.push(target_gain(peak, threshold));

        // Release follower: drops to the window minimum at once and rises
        // towards it by release_coefficient of the distance per frame. The
        // one fused multiply-add of the envelope.
        const double released =
            std::fma(window_minimum - follower, release_coefficient, follower);
        follower = window_minimum < released ? window_minimum : released;

        const double y1 = stages[0].smooth(follower);
        const double y2 = stages[1].smooth(y1);
        const double y3 = stages[2].smooth(y2);
        // The stage sums drift by rounding, so the cascade can end slightly
        // above 1 or below 0; a gain outside [0, 1] is never applied.
        double y = y3 < 1.0 ? y3 : 1.0;
        y = y < 0.0 ? 0.0 : y;

        if (i >= lookahead_samples) {
            float& frame = values[i - lookahead_samples];
            const auto frame_peak = static_cast<double>(frame);
            // The smoothed gain may still leave this frame above the
            // ceiling (with no hold, or after drift); then it takes its own
            // target instead.
            if (y * frame_peak > threshold) {
                y = threshold / (frame_peak + peak_offset);
            }
            frame = static_cast<float>(y);
        }
    }
    gain = follower;
}

}  // namespace zarn
