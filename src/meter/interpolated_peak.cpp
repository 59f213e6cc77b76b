#include "meter/interpolated_peak.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>

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

// The largest sum of |taps| of a point (phases 1 and 2: 2.02), with room for
// the rounding of a float sum of twelve products: no point of a run exceeds
// this times the largest input magnitude its taps read.
constexpr double gain_bound = [] {
    double largest = 0.0;
    for (const Phase& phase : coefficients) {
        double sum = 0.0;
        for (const float tap : phase) {
            sum += tap < 0.0f ? -tap : tap;
        }
        largest = sum > largest ? sum : largest;
    }
    return largest * (1.0 + 1e-5);
}();

// The magnitude of a finite float as an unsigned integer of the same order.
inline std::uint32_t magnitude_bits(float x) {
    return std::bit_cast<std::uint32_t>(x) & 0x7fffffffu;
}

}  // namespace

// For each point the taps are summed in the same order, in float, without
// contraction: the same bits from the vector and the scalar code. The four
// points after a sample share its loads, and the largest of their
// magnitudes is kept per sample, as an integer that orders like them.
//
// A run whose inputs are all quiet enough cannot hold a new peak: once a
// programme's peak is known, most of it is skipped, and the result is the
// same as if every point had been worked out.
ZARN_CLONED_FOR("avx2")
float interpolated_peak(const float* x, std::size_t count, float known_peak) {
    std::array<float, run> largest;
    float peak = known_peak;
    for (std::size_t start = 0; start < count; start += run) {
        const std::size_t length = std::min(run, count - start);
        // The oldest sample the first point of the run reads.
        const float* oldest = x + start - interpolation_history;
        const float loudest = largest_magnitude(oldest, length + interpolation_history);
        if (gain_bound * static_cast<double>(loudest) <= static_cast<double>(peak)) {
            continue;
        }
        for (std::size_t m = 0; m < length; ++m) {
            std::array<float, phases> sums{};
            for (std::size_t k = 0; k < taps; ++k) {
                const float sample = oldest[m + interpolation_history - k];
                for (std::size_t p = 0; p < phases; ++p) {
                    sums[p] += coefficients[p][k] * sample;
                }
            }
            std::uint32_t bits = 0;
            for (const float sum : sums) {
                bits = std::max(bits, magnitude_bits(sum));
            }
            largest[m] = std::bit_cast<float>(bits);
        }
        peak = std::max(peak, largest_magnitude(largest.data(), length));
    }
    return peak;
}

}  // namespace zarn::meter
