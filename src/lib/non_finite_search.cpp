#include "lib/non_finite_search.hpp"

#include <algorithm>

#include "envelope/float_bits.hpp"

namespace zarn {

namespace {

// Samples checked at a time: a block that holds no NaN or infinity is only
// read, by a loop without a branch.
constexpr std::size_t block_samples = 4096;

std::optional<std::size_t> first_non_finite(std::span<const float> samples) {
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (magnitude_bits(samples[i]) > largest_finite_bits) {
            return i;
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::size_t> find_non_finite(std::span<const float> samples) {
    for (std::size_t begin = 0; begin < samples.size(); begin += block_samples) {
        const std::size_t count = std::min(block_samples, samples.size() - begin);
        if (!magnitudes_at_most(samples.data() + begin, count, largest_finite_bits)) {
            return begin + *first_non_finite(samples.subspan(begin, count));
        }
    }
    return std::nullopt;
}

}  // namespace zarn
