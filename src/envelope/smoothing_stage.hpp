#pragma once

#include <cstddef>
#include <memory>

namespace zarn {

// One moving-average stage of the attack cascade: a ring of the last
// `length` gains and their running sum, kept incrementally.
struct SmoothingStage {
    explicit SmoothingStage(std::size_t length);  // throws std::bad_alloc

    // Neutral state: every entry 1.0, position 0, sum exactly `length`.
    void reset();
    // Pushes one gain and returns the new average.
    double smooth(double x);

    std::unique_ptr<double[]> buffer;
    std::size_t length;
    std::size_t position;  // slot the next input overwrites (the oldest)
    double sum;
    double inverse_length;
};

}  // namespace zarn
