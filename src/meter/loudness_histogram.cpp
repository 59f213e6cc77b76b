#include "meter/loudness_histogram.hpp"

#include <cmath>
#include <limits>

namespace zarn::meter {

namespace {

constexpr double absolute_gate_LUFS = -70.0;
constexpr double bins_per_LU = 100.0;
constexpr std::size_t bin_count = 10000;  // -70 to +30 LUFS
constexpr double loudness_offset = -0.691;
constexpr double minus_infinity = -std::numeric_limits<double>::infinity();

double mean_square_of(double loudness) {
    return std::pow(10.0, (loudness - loudness_offset) / 10.0);
}

}  // namespace

double loudness_of(double mean_square) {
    return mean_square > 0.0 ? loudness_offset + 10.0 * std::log10(mean_square) : minus_infinity;
}

LoudnessHistogram::LoudnessHistogram()
    : counts_(bin_count, 0), mean_square_sums_(bin_count, 0.0) {}

void LoudnessHistogram::add(double mean_square) {
    const double loudness = loudness_of(mean_square);
    if (!(loudness > absolute_gate_LUFS)) {
        return;
    }
    const double position = std::floor((loudness - absolute_gate_LUFS) * bins_per_LU);
    const std::size_t bin =
        position < static_cast<double>(bin_count) ? static_cast<std::size_t>(position)
                                                  : bin_count - 1;
    counts_[bin] += 1;
    mean_square_sums_[bin] += mean_square;
}

bool LoudnessHistogram::passes(std::size_t bin, double threshold) const {
    // The bin's mean above the threshold, without a division.
    return counts_[bin] != 0 &&
           mean_square_sums_[bin] > threshold * static_cast<double>(counts_[bin]);
}

double LoudnessHistogram::relative_threshold(double relative_gate_LU) const {
    std::uint64_t count = 0;
    double sum = 0.0;
    for (std::size_t bin = 0; bin < bin_count; ++bin) {
        count += counts_[bin];
        sum += mean_square_sums_[bin];
    }
    if (count == 0) {
        return std::numeric_limits<double>::infinity();
    }
    return mean_square_of(loudness_of(sum / static_cast<double>(count)) - relative_gate_LU);
}

double LoudnessHistogram::gated_loudness(double relative_gate_LU) const {
    const double threshold = relative_threshold(relative_gate_LU);
    std::uint64_t count = 0;
    double sum = 0.0;
    for (std::size_t bin = 0; bin < bin_count; ++bin) {
        if (passes(bin, threshold)) {
            count += counts_[bin];
            sum += mean_square_sums_[bin];
        }
    }
    return count == 0 ? minus_infinity : loudness_of(sum / static_cast<double>(count));
}

double LoudnessHistogram::loudness_at_rank(std::uint64_t rank, double threshold) const {
    std::uint64_t below = 0;
    for (std::size_t bin = 0; bin < bin_count; ++bin) {
        if (!passes(bin, threshold)) {
            continue;
        }
        below += counts_[bin];
        if (rank < below) {
            return loudness_of(mean_square_sums_[bin] / static_cast<double>(counts_[bin]));
        }
    }
    return minus_infinity;
}

double LoudnessHistogram::loudness_range(double relative_gate_LU, double low,
                                         double high) const {
    const double threshold = relative_threshold(relative_gate_LU);
    std::uint64_t count = 0;
    for (std::size_t bin = 0; bin < bin_count; ++bin) {
        count += passes(bin, threshold) ? counts_[bin] : 0;
    }
    if (count == 0) {
        return minus_infinity;
    }
    // The rank of a percentile among the sorted values, rounded to the
    // nearest as the loudness range's reference computation does.
    const auto rank = [&](double fraction) {
        return static_cast<std::uint64_t>(std::round(static_cast<double>(count - 1) * fraction));
    };
    return loudness_at_rank(rank(high), threshold) - loudness_at_rank(rank(low), threshold);
}

}  // namespace zarn::meter
