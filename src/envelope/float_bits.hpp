#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace zarn {

// Magnitude bits of the largest finite float; NaN and the infinities have
// larger ones.
inline constexpr std::uint32_t largest_finite_bits = 0x7f7fffff;

// The bit pattern of a float without its sign. Magnitude bits are ordered
// as the magnitudes are, with the infinities and then NaN above every
// finite value.
inline std::uint32_t magnitude_bits(float value) {
    return std::bit_cast<std::uint32_t>(value) & 0x7fffffffu;
}

// Whether the magnitude bits of every one of `count` values are at most
// `bound_bits` (itself below 2^31). Both lie in [0, 2^31), so bound_bits -
// bits is negative exactly for a value above the bound; or-ing the
// differences collects their signs in a loop without a branch, which only
// reads and vectorises on any x86-64.
inline bool magnitudes_at_most(const float* values, std::size_t count, std::uint32_t bound_bits) {
    const auto bound = static_cast<std::int32_t>(bound_bits);
    std::int32_t signs = 0;
    for (std::size_t i = 0; i < count; ++i) {
        signs |= bound - static_cast<std::int32_t>(magnitude_bits(values[i]));
    }
    return signs >= 0;
}

}  // namespace zarn
