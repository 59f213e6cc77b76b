#pragma once

#include <array>
#include <cstddef>

namespace zarn::meter {

// Points of the reconstructed signal per sample interval.
inline constexpr std::size_t reconstruction_points = 32;
// Input samples each point reads: x[n-23 .. n+24] for a point after x[n].
inline constexpr std::size_t reconstruction_taps = 48;
// Points per interval that are worked out for every interval; the others
// only where they could hold a new peak.
inline constexpr std::size_t reconstruction_grid = 4;
inline constexpr std::size_t grid_spacing = reconstruction_points / reconstruction_grid;

// A windowed-sinc interpolator to 32 times the rate: 48 taps per point,
// Kaiser window (beta 7.3), each point's taps summing to 1, flat within
// 0.004 dB up to 0.45 times the sample rate and rejecting images by 75 dB
// from 0.55. At 32 points per interval the coarsest spacing costs a sine at
// 0.45 times the rate at most 0.009 dB of its crest.
class ReconstructionFilter {
public:
    // The taps by input sample, then by point: taps[j][q] weighs x[n-23+j]
    // for the point at n + q/32. Point q = 0 is x[n] itself; the table also
    // holds q = 32, which is x[n+1].
    using Taps = std::array<std::array<float, reconstruction_points + 1>, reconstruction_taps>;

    ReconstructionFilter();

    const Taps& taps() const noexcept { return taps_; }

    // How far a point between two neighbouring grid points can lie from
    // their straight line, as a multiple of the largest input magnitude in
    // its window: the largest sum of |taps| of the difference between a
    // point's taps and the line between its grid neighbours' taps.
    double interpolation_bound() const noexcept { return interpolation_bound_; }

    // The largest sum of |taps| of a point: no point exceeds this times the
    // largest input magnitude in its window.
    double gain_bound() const noexcept { return gain_bound_; }

private:
    Taps taps_;
    double interpolation_bound_;
    double gain_bound_;
};

// The one filter every meter uses, designed on first need.
const ReconstructionFilter& reconstruction_filter();

}  // namespace zarn::meter
