#include "envelope/fused_multiply_add.hpp"

#include <bit>
#include <cstdint>
#include <utility>

namespace zarn {

namespace {

// A 128-bit unsigned integer, just what the sum below needs.
struct Wide {
    std::uint64_t high;
    std::uint64_t low;

    int bit_length() const {
        return high != 0 ? 128 - std::countl_zero(high) : 64 - std::countl_zero(low);
    }
};

Wide product(std::uint64_t x, std::uint64_t y) {
    const std::uint64_t x0 = x & 0xffffffffu, x1 = x >> 32;
    const std::uint64_t y0 = y & 0xffffffffu, y1 = y >> 32;
    const std::uint64_t p00 = x0 * y0, p01 = x0 * y1, p10 = x1 * y0, p11 = x1 * y1;
    const std::uint64_t middle = (p00 >> 32) + (p01 & 0xffffffffu) + (p10 & 0xffffffffu);
    return {p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32), (middle << 32) | (p00 & 0xffffffffu)};
}

Wide shifted_left(Wide x, int bits) {
    if (bits == 0) {
        return x;
    }
    if (bits >= 64) {
        return {x.low << (bits - 64), 0};
    }
    return {x.high << bits | x.low >> (64 - bits), x.low << bits};
}

Wide shifted_right(Wide x, int bits) {
    if (bits == 0) {
        return x;
    }
    if (bits >= 128) {
        return {0, 0};
    }
    if (bits >= 64) {
        return {0, x.high >> (bits - 64)};
    }
    return {x.high >> bits, x.low >> bits | x.high << (64 - bits)};
}

// Shifted right, with any bit shifted out kept as a 1 in the lowest bit.
Wide shifted_right_sticky(Wide x, int bits) {
    const Wide kept = shifted_right(x, bits);
    const bool lost = bits >= 128 ? (x.high | x.low) != 0
                                  : !(shifted_left(kept, bits).high == x.high &&
                                      shifted_left(kept, bits).low == x.low);
    return {kept.high, kept.low | (lost ? 1u : 0u)};
}

Wide sum(Wide x, Wide y) {
    const std::uint64_t low = x.low + y.low;
    return {x.high + y.high + (low < x.low ? 1u : 0u), low};
}

// Expects y <= x.
Wide difference(Wide x, Wide y) {
    return {x.high - y.high - (x.low < y.low ? 1u : 0u), x.low - y.low};
}

bool less(Wide x, Wide y) {
    return x.high != y.high ? x.high < y.high : x.low < y.low;
}

// A finite nonzero double as significand * 2^exponent.
struct Parts {
    bool negative;
    std::uint64_t significand;
    int exponent;
};

Parts parts_of(double x) {
    const auto bits = std::bit_cast<std::uint64_t>(x);
    const int field = static_cast<int>(bits >> 52 & 0x7ff);
    const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
    if (field == 0) {
        return {bits >> 63 != 0, fraction, -1074};
    }
    return {bits >> 63 != 0, fraction | std::uint64_t{1} << 52, field - 1075};
}

// Both terms with their leading bit at bit 125: the sum of two fits, and
// the 19 or more zero bits below a product's 106 keep a small alignment
// shift exact.
constexpr int leading_bit = 125;

struct Term {
    Wide magnitude;
    int exponent;  // of the lowest bit
};

Term normalized(Wide magnitude, int exponent) {
    const int shift = leading_bit + 1 - magnitude.bit_length();
    return {shifted_left(magnitude, shift), exponent - shift};
}

// The magnitude * 2^exponent rounded to a double, ties to even.
double rounded(bool negative, Wide magnitude, int exponent) {
    const int top = magnitude.bit_length() - 1 + exponent;  // binade of the result
    const bool normal = top >= -1022;
    const int last_bit = normal ? top - 52 : -1074;
    const int shift = last_bit - exponent;
    std::uint64_t significand = 0;
    if (shift <= 0) {
        significand = shifted_left(magnitude, -shift).low;
    } else if (shift < 128) {
        significand = shifted_right(magnitude, shift).low;
        const Wide below = difference(magnitude, shifted_left(Wide{0, significand}, shift));
        const Wide half = shifted_left(Wide{0, 1}, shift - 1);
        if (less(half, below) || (!less(below, half) && (significand & 1) != 0)) {
            ++significand;
        }
    }
    std::uint64_t bits = significand;
    if (normal) {
        bits += static_cast<std::uint64_t>(top + 1022) << 52;
        if (top > 1023) {
            bits = std::uint64_t{0x7ff} << 52;
        }
    }
    return std::bit_cast<double>(bits | (negative ? std::uint64_t{1} << 63 : 0));
}

}  // namespace

double exact_fused_multiply_add(double a, double b, double c) noexcept {
    // Zeros, infinities and NaN: the product is exact or its rounding does
    // not matter, except that a finite product added to an infinite c is c.
    if (!std::isfinite(a) || !std::isfinite(b) || a == 0.0 || b == 0.0) {
        return a * b + c;
    }
    if (!std::isfinite(c)) {
        return c;
    }
    const Parts x = parts_of(a);
    const Parts y = parts_of(b);
    const bool product_negative = x.negative != y.negative;
    Term p = normalized(product(x.significand, y.significand), x.exponent + y.exponent);
    if (c == 0.0) {
        return rounded(product_negative, p.magnitude, p.exponent);
    }
    const Parts z = parts_of(c);
    Term q = normalized(Wide{0, z.significand}, z.exponent);

    // The smaller term moves down to the larger one's bits.
    bool negative = product_negative;
    const bool product_larger =
        p.exponent != q.exponent ? p.exponent > q.exponent : !less(p.magnitude, q.magnitude);
    if (!product_larger) {
        std::swap(p, q);
        negative = z.negative;
    }
    q.magnitude = shifted_right_sticky(q.magnitude, p.exponent - q.exponent);
    if (product_negative == z.negative) {
        return rounded(negative, sum(p.magnitude, q.magnitude), p.exponent);
    }
    const Wide rest = difference(p.magnitude, q.magnitude);
    if (rest.high == 0 && rest.low == 0) {
        return 0.0;  // exact cancellation is +0 when rounding to nearest
    }
    return rounded(negative, rest, p.exponent);
}

}  // namespace zarn
