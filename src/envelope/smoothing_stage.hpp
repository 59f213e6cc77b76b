#pragma once

#include <cstddef>
#include <memory>

namespace zarn {

// The update of a moving-average stage, for every loop that advances one:
// `slot` holds the oldest input and takes `x`, and the running sum moves by
// their difference. The sum is never recomputed, so its rounding drift is
// bounded only by the next reset. Returns the new average.
[[gnu::always_inline]] inline double smoothing_step(double& slot, double& sum,
                                                    double inverse_length, double x) {
    sum = (x - slot) + sum;
    slot = x;
    return sum * inverse_length;
}

// One moving-average stage of the attack cascade: a ring of the last
// `length` gains and their running sum, kept incrementally.
struct SmoothingStage {
    // `length` is at least 1 (the stage design gives no shorter stage).
    // Throws std::bad_alloc when the ring cannot be allocated.
    explicit SmoothingStage(std::size_t length);

    // Neutral state: every entry 1.0, position 0, sum exactly `length`.
    void reset();

    // Pushes one gain and returns the new average.
    double smooth(double x) {
        const double average = smoothing_step(buffer[position], sum, inverse_length, x);
        ++position;
        if (position == length) {
            position = 0;
        }
        return average;
    }

    std::unique_ptr<double[]> buffer;
    std::size_t length;
    std::size_t position;  // slot the next input overwrites (the oldest)
    double sum;
    double inverse_length;
};

}  // namespace zarn
