#include "meter/reconstructed_peak.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
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

// The magnitude of a finite float as an unsigned integer of the same order.
inline std::uint32_t magnitude_bits(float x) {
    return std::bit_cast<std::uint32_t>(x) & 0x7fffffffu;
}

// The largest grid magnitude of each of `length` intervals: x[n], the
// inner grid points (q = 8, 16, 24) and x[n+1], the window of the first
// interval starting at `oldest`. Each point sums its taps in order j =
// 0..47, as interval_peak() does, so both give a point the same bits. Tap
// by tap over all intervals of the run, so that the loops over intervals
// vectorise.
ZARN_CLONED_FOR("avx2")
void grid_peaks(const ReconstructionFilter::Taps& taps, const float* oldest, std::size_t length,
                float* highest) {
    std::array<std::uint32_t, run> largest;
    for (std::size_t m = 0; m < length; ++m) {
        largest[m] = std::max(magnitude_bits(oldest[m + centre]),
                              magnitude_bits(oldest[m + centre + 1]));
    }
    std::array<float, run> sums;
    for (std::size_t g = 1; g < reconstruction_grid; ++g) {
        std::fill_n(sums.begin(), length, 0.0f);
        for (std::size_t j = 0; j < reconstruction_taps; ++j) {
            const float tap = taps[j][g * grid_spacing];
            for (std::size_t m = 0; m < length; ++m) {
                sums[m] += tap * oldest[m + j];
            }
        }
        for (std::size_t m = 0; m < length; ++m) {
            largest[m] = std::max(largest[m], magnitude_bits(sums[m]));
        }
    }
    for (std::size_t m = 0; m < length; ++m) {
        highest[m] = std::bit_cast<float>(largest[m]);
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
    // so its magnitude is at most max(|a|, |b|) + slack: an interval whose
    // grid stays at or below the peak found so far less `slack` holds no
    // new peak.
    const double slack =
        (filter_->interpolation_bound() + rounding_allowance) * static_cast<double>(input_peak);
    // And no point exceeds the gain bound times the loudest input it reads:
    // a run of quiet intervals is skipped whole.
    const double gain = filter_->gain_bound() * (1.0 + rounding_allowance);
    std::array<float, run> highest;
    for (std::size_t start = 0; start < count; start += run) {
        const std::size_t length = std::min(run, count - start);
        const float* oldest = x + start - reconstruction_history;
        const float loudest = largest_magnitude(oldest, length + reconstruction_history);
        if (gain * static_cast<double>(loudest) <= static_cast<double>(peak_)) {
            continue;
        }
        grid_peaks(filter_->taps(), oldest, length, highest.data());
        // The grid points are points of the reconstruction themselves.
        peak_ = std::max(peak_, largest_magnitude(highest.data(), length));
        for (std::size_t m = 0; m < length; ++m) {
            if (static_cast<double>(highest[m]) + slack > static_cast<double>(peak_)) {
                refine(oldest + m);
            }
        }
    }
}

}  // namespace zarn::meter
