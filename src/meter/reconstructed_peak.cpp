#include "meter/reconstructed_peak.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "envelope/cloned_kernel.hpp"
#include "meter/largest_magnitude.hpp"

namespace zarn::meter {

namespace {

constexpr std::size_t run = 256;
constexpr std::size_t centre = reconstruction_taps / 2 - 1;
// Covers the rounding of a float point of 48 taps (about 1e-5 of the input
// peak) on top of the exact bound.
constexpr double rounding_allowance = 1e-4;

using GridRun = std::array<std::array<float, run>, reconstruction_grid - 1>;

// The inner grid points (q = 8, 16, 24) of `length` intervals, the window
// of the first starting at `oldest`. Each point sums its taps in order j =
// 0..47, as refine() does, so both give a point the same bits.
ZARN_CLONED_FOR("avx2")
void grid_points(const ReconstructionFilter::Taps& taps, const float* oldest, std::size_t length,
                 GridRun& points) {
    for (std::size_t g = 1; g < reconstruction_grid; ++g) {
        float* out = points[g - 1].data();
        std::fill_n(out, length, 0.0f);
        for (std::size_t j = 0; j < reconstruction_taps; ++j) {
            const float tap = taps[j][g * grid_spacing];
            for (std::size_t m = 0; m < length; ++m) {
                out[m] += tap * oldest[m + j];
            }
        }
    }
}

// All 32 points of one interval at once, one vector lane per point.
ZARN_CLONED_FOR("avx2")
float interval_peak(const ReconstructionFilter::Taps& taps, const float* oldest) {
    std::array<float, reconstruction_points> points{};
    for (std::size_t j = 0; j < reconstruction_taps; ++j) {
        for (std::size_t q = 0; q < reconstruction_points; ++q) {
            points[q] += taps[j][q] * oldest[j];
        }
    }
    return largest_magnitude(points.data(), points.size());
}

}  // namespace

void ReconstructedPeak::refine(const float* oldest) {
    peak_ = std::max(peak_, interval_peak(filter_->taps(), oldest));
}

void ReconstructedPeak::scan(const float* x, std::size_t count, float input_peak) {
    // A point between grid points a and b is within `slack` of their line,
    // so its magnitude is at most max(|a|, |b|) + slack.
    const double slack =
        (filter_->interpolation_bound() + rounding_allowance) * static_cast<double>(input_peak);
    GridRun points;
    for (std::size_t start = 0; start < count; start += run) {
        const std::size_t length = std::min(run, count - start);
        const float* oldest = x + start - reconstruction_history;
        grid_points(filter_->taps(), oldest, length, points);
        for (std::size_t m = 0; m < length; ++m) {
            const float* window = oldest + m;
            // The grid of the interval: x[n], the three inner points, x[n+1].
            std::array<double, reconstruction_grid + 1> grid = {
                std::fabs(window[centre]), std::fabs(points[0][m]), std::fabs(points[1][m]),
                std::fabs(points[2][m]), std::fabs(window[centre + 1])};
            double highest = 0.0;
            for (std::size_t g = 0; g < reconstruction_grid; ++g) {
                highest = std::max(highest, std::max(grid[g], grid[g + 1]));
            }
            peak_ = std::max(peak_, static_cast<float>(highest));
            if (highest + slack > static_cast<double>(peak_)) {
                refine(window);
            }
        }
    }
}

}  // namespace zarn::meter
