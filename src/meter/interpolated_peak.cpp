#include "meter/interpolated_peak.hpp"

#include <algorithm>
#include <array>

#include "envelope/cloned_kernel.hpp"
#include "meter/largest_magnitude.hpp"

namespace zarn::meter {

namespace {

constexpr std::size_t phases = 4;
constexpr std::size_t taps = interpolation_history + 1;
using Phase = std::array<float, taps>;

// The coefficients are multiples of 2^-13 and exact in float.
constexpr Phase phase0 = {0.0017089843750f,  0.0109863281250f, -0.0196533203125f,
                          0.0332031250000f,  -0.0594482421875f, 0.1373291015625f,
                          0.9721679687500f,  -0.1022949218750f, 0.0476074218750f,
                          -0.0266113281250f, 0.0148925781250f, -0.0083007812500f};
constexpr Phase phase1 = {-0.0291748046875f, 0.0292968750000f,  -0.0517578125000f,
                          0.0891113281250f,  -0.1665039062500f, 0.4650878906250f,
                          0.7797851562500f,  -0.2003173828125f, 0.1015625000000f,
                          -0.0582275390625f, 0.0330810546875f,  -0.0189208984375f};

constexpr Phase reversed(Phase phase) {
    std::reverse(phase.begin(), phase.end());
    return phase;
}

// Phases 2 and 3 mirror phases 1 and 0.
constexpr std::array<Phase, phases> coefficients = {phase0, phase1, reversed(phase1),
                                                    reversed(phase0)};

// Points are worked out this many at a time, into a buffer on the stack.
constexpr std::size_t run = 256;

}  // namespace

// For each point the taps are summed in the same order, in float, without
// contraction: the same bits from the vector and the scalar code.
ZARN_CLONED_FOR("avx2") float interpolated_peak(const float* x, std::size_t count) {
    std::array<float, run> points;
    float peak = 0.0f;
    for (std::size_t start = 0; start < count; start += run) {
        const std::size_t length = std::min(run, count - start);
        // The oldest sample the first point of the run reads.
        const float* oldest = x + start - interpolation_history;
        for (const Phase& phase : coefficients) {
            for (std::size_t m = 0; m < length; ++m) {
                float sum = 0.0f;
                for (std::size_t k = 0; k < taps; ++k) {
                    sum += phase[k] * oldest[m + interpolation_history - k];
                }
                points[m] = sum;
            }
            peak = std::max(peak, largest_magnitude(points.data(), length));
        }
    }
    return peak;
}

}  // namespace zarn::meter
