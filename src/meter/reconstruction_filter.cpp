#include "meter/reconstruction_filter.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace zarn::meter {

namespace {

constexpr double kaiser_beta = 7.3;
constexpr double half_length = reconstruction_taps / 2;
constexpr int centre_tap = reconstruction_taps / 2 - 1;

// The modified Bessel function of the first kind and order zero, by its
// series, which converges fast for the window's arguments.
double bessel_i0(double x) {
    double sum = 1.0;
    double term = 1.0;
    for (int k = 1; term > 1e-17 * sum; ++k) {
        term *= (x / (2.0 * k)) * (x / (2.0 * k));
        sum += term;
    }
    return sum;
}

// The windowed sinc at `offset` samples from the point; exactly 1 and 0 at
// whole samples, so that the point on a sample is that sample.
double kernel(double offset) {
    if (offset == std::round(offset)) {
        return offset == 0.0 ? 1.0 : 0.0;
    }
    if (std::fabs(offset) >= half_length) {
        return 0.0;
    }
    const double ratio = offset / half_length;
    const double window =
        bessel_i0(kaiser_beta * std::sqrt(1.0 - ratio * ratio)) / bessel_i0(kaiser_beta);
    const double angle = std::numbers::pi * offset;
    return std::sin(angle) / angle * window;
}

std::array<double, reconstruction_taps> point_taps(std::size_t point) {
    std::array<double, reconstruction_taps> taps;
    double sum = 0.0;
    for (std::size_t j = 0; j < reconstruction_taps; ++j) {
        const double offset = static_cast<double>(point) / reconstruction_points -
                              (static_cast<int>(j) - centre_tap);
        taps[j] = kernel(offset);
        sum += taps[j];
    }
    for (double& tap : taps) {
        tap /= sum;
    }
    return taps;
}

// The interpolation bound of the taps as stored (in float).
double bound_of(const ReconstructionFilter::Taps& taps) {
    double bound = 0.0;
    for (std::size_t q = 0; q < reconstruction_points; ++q) {
        const std::size_t below = q / grid_spacing * grid_spacing;
        const double along = static_cast<double>(q - below) / grid_spacing;
        double sum = 0.0;
        for (const auto& tap : taps) {
            const double line = (1.0 - along) * tap[below] + along * tap[below + grid_spacing];
            sum += std::fabs(tap[q] - line);
        }
        bound = std::max(bound, sum);
    }
    return bound;
}

double gain_of(const ReconstructionFilter::Taps& taps) {
    double bound = 0.0;
    for (std::size_t q = 0; q < reconstruction_points; ++q) {
        double sum = 0.0;
        for (const auto& tap : taps) {
            sum += std::fabs(tap[q]);
        }
        bound = std::max(bound, sum);
    }
    return bound;
}

}  // namespace

ReconstructionFilter::ReconstructionFilter() : taps_{} {
    for (std::size_t q = 0; q <= reconstruction_points; ++q) {
        const auto taps = point_taps(q);
        for (std::size_t j = 0; j < reconstruction_taps; ++j) {
            taps_[j][q] = static_cast<float>(taps[j]);
        }
    }
    interpolation_bound_ = bound_of(taps_);
    gain_bound_ = gain_of(taps_);
}

const ReconstructionFilter& reconstruction_filter() {
    static const ReconstructionFilter filter;
    return filter;
}

}  // namespace zarn::meter
