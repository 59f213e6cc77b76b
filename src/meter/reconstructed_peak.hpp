#pragma once

#include <cstddef>

#include "meter/reconstruction_filter.hpp"

namespace zarn::meter {

// Input samples the reconstruction reads before its newest one.
inline constexpr std::size_t reconstruction_history = reconstruction_taps - 1;

// The largest magnitude of the signal reconstructed at 32 points per sample
// interval, over all channels. Four points per interval are worked out
// everywhere; the other 28 only in an interval where a bound says one of
// them could exceed the largest magnitude found so far, so that the result
// is the largest of all points whichever intervals were skipped, and the
// same however the stream was divided.
class ReconstructedPeak {
public:
    ReconstructedPeak() = default;

    // Scans the intervals whose window ends at each newest sample
    // x[0..count), each the interval after x[m-24]; reads x[-47..count).
    // `input_peak` bounds every |x| read (the channel's sample peak so far).
    void scan(const float* x, std::size_t count, float input_peak);

    float peak() const noexcept { return peak_; }

private:
    // Works out every point of the interval whose window starts at `oldest`.
    void refine(const float* oldest);

    const ReconstructionFilter* filter_ = &reconstruction_filter();
    float peak_ = 0.0f;
};

}  // namespace zarn::meter
