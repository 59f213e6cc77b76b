#include "meter/largest_magnitude.hpp"

#include <bit>
#include <cstdint>

#include "envelope/cloned_kernel.hpp"

namespace zarn::meter {

// The magnitude of a finite float without its sign bit orders as an
// unsigned integer, and a maximum of integers vectorises where one of
// floats (with its rules for NaN and signed zeros) does not.
ZARN_CLONED_FOR("avx2") float largest_magnitude(const float* x, std::size_t count) {
    std::uint32_t largest = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t magnitude = std::bit_cast<std::uint32_t>(x[i]) & 0x7fffffffu;
        largest = magnitude > largest ? magnitude : largest;
    }
    return std::bit_cast<float>(largest);
}

}  // namespace zarn::meter
