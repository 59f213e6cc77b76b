#pragma once

#include <array>
#include <cstdint>

#include "meter/loudness_histogram.hpp"

namespace zarn::meter {

// The programme in steps of 100 ms, each step's channel powers already
// weighted and summed: the 400 ms gating blocks overlap by 75% (four
// steps), the 3 s short-term windows (30 steps) move on by one step.
class GatingSteps {
public:
    // `step_frames`: frames per step, the rate over ten rounded.
    explicit GatingSteps(std::uint64_t step_frames);

    // Ends a step whose weighted sum of squared K-weighted samples is
    // `weighted_energy`; updates the block and window measures it completes.
    void end_step(double weighted_energy);

    double integrated_LUFS() const;
    double loudness_range_LU() const;
    double momentary_max_LUFS() const;
    double short_term_max_LUFS() const;

private:
    static constexpr std::size_t block_steps = 4;
    static constexpr std::size_t short_term_steps = 30;

    // The mean square over the latest `steps` steps, oldest first.
    double mean_square_of_latest(std::size_t steps) const;

    std::uint64_t step_frames_;
    std::uint64_t steps_ = 0;
    std::array<double, short_term_steps> recent_{};  // a ring, by step number
    // -1 until a block or window has ended (a mean square is never negative).
    double momentary_max_ = -1.0;
    double short_term_max_ = -1.0;
    LoudnessHistogram blocks_;
    LoudnessHistogram short_term_windows_;
};

}  // namespace zarn::meter
