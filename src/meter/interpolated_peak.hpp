#pragma once

#include <cstddef>

namespace zarn::meter {

// Input samples the four-times interpolation reads before its newest one.
inline constexpr std::size_t interpolation_history = 11;

// The larger of `known_peak` and the largest magnitude among the four
// points that the standard's 48-tap four-times interpolator puts after each
// newest sample x[0..count); it reads x[-11..count). None of its points
// falls on a sample itself (a lone full-scale sample reads 0.972, -0.25 dB),
// so a true peak is the larger of this and the sample peak. Runs of samples
// whose points cannot exceed `known_peak` are not worked out.
float interpolated_peak(const float* x, std::size_t count, float known_peak = 0.0f);

}  // namespace zarn::meter
