#pragma once

#include <cstddef>
#include <memory>

namespace zarn {

// One moving-average stage of the attack cascade: a ring of the last
// `length` gains and their running sum, kept incrementally.
struct SmoothingStage {
    // `length` is at least 1. Throws std::bad_alloc when the ring cannot be
    // allocated.
    explicit SmoothingStage(std::size_t length);

    // Neutral state: every entry 1.0, position 0, sum exactly `length`.
    void reset();

    // Pushes one gain and returns the new average. The sum is only ever
    // moved by the difference between the new and the dropped value, never
    // recomputed, so its rounding drift is bounded only by the next reset.
    double smooth(double x) {
        const double old = buffer[position];
        const double d = x - old;
        sum = d + sum;
        buffer[position] = x;
        ++position;
        if (position == length) {
            position = 0;
        }
        return sum * inverse_length;
    }

    std::unique_ptr<double[]> buffer;
    std::size_t length;
    std::size_t position;  // slot the next input overwrites (the oldest)
    double sum;
    double inverse_length;
};

}  // namespace zarn
