#include "meter/gating_steps.hpp"

#include <algorithm>
#include <limits>

namespace zarn::meter {

namespace {

constexpr double integrated_relative_gate_LU = 10.0;
// Loudness range: short-term values 20 LU below their mean are left out,
// then the spread from the 10th to the 95th percentile.
constexpr double range_relative_gate_LU = 20.0;
constexpr double range_low_percentile = 0.10;
constexpr double range_high_percentile = 0.95;

double loudness_of_max(double mean_square) {
    return mean_square < 0.0 ? -std::numeric_limits<double>::infinity()
                             : loudness_of(mean_square);
}

}  // namespace

GatingSteps::GatingSteps(std::uint64_t step_frames) : step_frames_(step_frames) {}

double GatingSteps::mean_square_of_latest(std::size_t steps) const {
    double energy = 0.0;
    for (std::uint64_t step = steps_ - steps; step < steps_; ++step) {
        energy += recent_[step % short_term_steps];
    }
    return energy / (static_cast<double>(steps) * static_cast<double>(step_frames_));
}

void GatingSteps::end_step(double weighted_energy) {
    recent_[steps_ % short_term_steps] = weighted_energy;
    ++steps_;
    if (steps_ >= block_steps) {
        const double block = mean_square_of_latest(block_steps);
        momentary_max_ = std::max(momentary_max_, block);
        blocks_.add(block);
    }
    if (steps_ >= short_term_steps) {
        const double window = mean_square_of_latest(short_term_steps);
        short_term_max_ = std::max(short_term_max_, window);
        short_term_windows_.add(window);
    }
}

double GatingSteps::integrated_LUFS() const {
    return blocks_.gated_loudness(integrated_relative_gate_LU);
}

double GatingSteps::loudness_range_LU() const {
    return short_term_windows_.loudness_range(range_relative_gate_LU, range_low_percentile,
                                              range_high_percentile);
}

double GatingSteps::momentary_max_LUFS() const {
    return loudness_of_max(momentary_max_);
}

double GatingSteps::short_term_max_LUFS() const {
    return loudness_of_max(short_term_max_);
}

}  // namespace zarn::meter
