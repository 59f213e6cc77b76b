#include "lib/power_of_ten.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace zarn {

namespace {

// An unsigned integer of any size: 32-bit limbs, least significant first,
// no leading zero limbs. Just the operations the power below needs.
class Natural {
public:
    Natural() = default;
    explicit Natural(std::uint64_t value)
        : limbs_{static_cast<std::uint32_t>(value), static_cast<std::uint32_t>(value >> 32)} {
        trim();
    }

    static Natural power_of_two(unsigned exponent) {
        Natural n;
        n.limbs_.assign(exponent / 32 + 1, 0);
        n.limbs_.back() = std::uint32_t{1} << (exponent % 32);
        return n;
    }

    bool is_zero() const { return limbs_.empty(); }

    unsigned bit_length() const {
        if (limbs_.empty()) {
            return 0;
        }
        return static_cast<unsigned>(32 * limbs_.size()) -
               static_cast<unsigned>(std::countl_zero(limbs_.back()));
    }

    std::uint64_t low_word() const {
        const std::uint64_t low = limbs_.empty() ? 0 : limbs_[0];
        const std::uint64_t high = limbs_.size() < 2 ? 0 : limbs_[1];
        return low | high << 32;
    }

    Natural& operator+=(const Natural& other) {
        if (limbs_.size() < other.limbs_.size()) {
            limbs_.resize(other.limbs_.size(), 0);
        }
        std::uint64_t carry = 0;
        for (std::size_t i = 0; i < limbs_.size(); ++i) {
            carry += std::uint64_t{limbs_[i]} + (i < other.limbs_.size() ? other.limbs_[i] : 0);
            limbs_[i] = static_cast<std::uint32_t>(carry);
            carry >>= 32;
        }
        if (carry != 0) {
            limbs_.push_back(static_cast<std::uint32_t>(carry));
        }
        return *this;
    }

    // Expects other <= *this.
    Natural& operator-=(const Natural& other) {
        std::int64_t borrow = 0;
        for (std::size_t i = 0; i < limbs_.size(); ++i) {
            std::int64_t d = std::int64_t{limbs_[i]} - borrow -
                             (i < other.limbs_.size() ? std::int64_t{other.limbs_[i]} : 0);
            borrow = d < 0 ? 1 : 0;
            limbs_[i] = static_cast<std::uint32_t>(d + (borrow << 32));
        }
        trim();
        return *this;
    }

    Natural& operator*=(std::uint32_t factor) {
        std::uint64_t carry = 0;
        for (std::uint32_t& limb : limbs_) {
            carry += std::uint64_t{limb} * factor;
            limb = static_cast<std::uint32_t>(carry);
            carry >>= 32;
        }
        if (carry != 0) {
            limbs_.push_back(static_cast<std::uint32_t>(carry));
        }
        trim();
        return *this;
    }

    // Division rounded down.
    Natural& operator/=(std::uint32_t divisor) {
        std::uint64_t remainder = 0;
        for (std::size_t i = limbs_.size(); i-- > 0;) {
            const std::uint64_t current = remainder << 32 | limbs_[i];
            limbs_[i] = static_cast<std::uint32_t>(current / divisor);
            remainder = current % divisor;
        }
        trim();
        return *this;
    }

    // Shift rounded down.
    Natural& operator>>=(unsigned bits) {
        const std::size_t whole = bits / 32;
        const unsigned part = bits % 32;
        if (whole >= limbs_.size()) {
            limbs_.clear();
            return *this;
        }
        limbs_.erase(limbs_.begin(), limbs_.begin() + static_cast<std::ptrdiff_t>(whole));
        if (part != 0) {
            for (std::size_t i = 0; i < limbs_.size(); ++i) {
                const std::uint32_t next = i + 1 < limbs_.size() ? limbs_[i + 1] : 0;
                limbs_[i] = limbs_[i] >> part | next << (32 - part);
            }
        }
        trim();
        return *this;
    }

    friend Natural operator*(const Natural& a, const Natural& b) {
        Natural product;
        product.limbs_.assign(a.limbs_.size() + b.limbs_.size(), 0);
        for (std::size_t i = 0; i < a.limbs_.size(); ++i) {
            std::uint64_t carry = 0;
            for (std::size_t j = 0; j < b.limbs_.size(); ++j) {
                carry += std::uint64_t{a.limbs_[i]} * b.limbs_[j] + product.limbs_[i + j];
                product.limbs_[i + j] = static_cast<std::uint32_t>(carry);
                carry >>= 32;
            }
            product.limbs_[i + b.limbs_.size()] = static_cast<std::uint32_t>(carry);
        }
        product.trim();
        return product;
    }

    friend bool operator<(const Natural& a, const Natural& b) {
        if (a.limbs_.size() != b.limbs_.size()) {
            return a.limbs_.size() < b.limbs_.size();
        }
        for (std::size_t i = a.limbs_.size(); i-- > 0;) {
            if (a.limbs_[i] != b.limbs_[i]) {
                return a.limbs_[i] < b.limbs_[i];
            }
        }
        return false;
    }

private:
    void trim() {
        while (!limbs_.empty() && limbs_.back() == 0) {
            limbs_.pop_back();
        }
    }

    std::vector<std::uint32_t> limbs_;
};

Natural operator+(Natural a, const Natural& b) {
    return a += b;
}
Natural operator-(Natural a, const Natural& b) {
    return a -= b;
}

// Numbers below are fixed point with `precision` fractional bits: the
// integer N stands for N / 2^precision. Each bound on an error is in units
// of 2^-precision.

// atanh(1/q) by its series, the sum of 1 / ((2j + 1) q^(2j + 1)). Every
// term is rounded down twice and the tail after the last nonzero power is
// below two units, so with n <= precision terms the error is below
// 3n + 3 <= 4 * precision units.
Natural inverse_hyperbolic_tangent(std::uint32_t q, unsigned precision) {
    Natural power = Natural::power_of_two(precision);
    power /= q;
    Natural sum;
    for (std::uint32_t j = 0; !power.is_zero(); ++j) {
        Natural term = power;
        term /= 2 * j + 1;
        sum += term;
        power /= q * q;
    }
    return sum;
}

// exp(r) for 0 <= r < 1 by its Taylor series. Each term is rounded down
// twice and carries less than 4 units of error; the series stops at its
// first zero term, after at most `precision` terms, with a tail of a few
// units: the error is below 4 * precision units.
Natural exponential(const Natural& r, unsigned precision) {
    Natural term = Natural::power_of_two(precision);
    Natural sum = term;
    for (std::uint32_t n = 1;; ++n) {
        term = term * r;
        term >>= precision;
        term /= n;
        if (term.is_zero()) {
            return sum;
        }
        sum += term;
    }
}

// Bits of the double nearest to N * 2^(-precision - k), ties rounded up.
// The rounding is monotone in N, so two bounds that give the same bits
// enclose a value that rounds to those bits (the powers of ten below 1 are
// never halfway between two doubles, so the tie rule never matters).
std::uint64_t nearest_double_bits(Natural n, unsigned precision, int k) {
    // The value n * 2^(-precision - k) lies in [2^binade, 2^(binade + 1)).
    const int binade = static_cast<int>(n.bit_length()) - 1 - static_cast<int>(precision) - k;
    const bool normal = binade >= -1022;
    // Position of the last bit the double keeps: 52 below the leading bit,
    // or 2^-1074 for a subnormal.
    const int last_bit = normal ? binade - 52 : -1074;
    // n has at least `precision` (>= 192) bits, so more than 128 of them lie
    // below that position.
    const auto shift = static_cast<unsigned>(last_bit + k + static_cast<int>(precision));
    n += Natural::power_of_two(shift - 1);
    n >>= shift;
    // A normal significand carries its leading bit into the exponent field,
    // so a round up to the next binade lands on its first double.
    const std::uint64_t significand = n.low_word();
    return normal ? (static_cast<std::uint64_t>(binade + 1022) << 52) + significand : significand;
}

// Beyond 10^-400 everything rounds to 0.0 (the smallest subnormal is about
// 4.9e-324); above 10^(-2^-60) everything rounds to 1.0.
constexpr double underflow_magnitude = 400.0;
constexpr double unity_magnitude = 0x1p-60;

// One attempt at `precision` bits: the result, or nothing when the error
// bounds straddle a rounding boundary.
std::optional<double> attempt(double magnitude, unsigned precision) {
    const auto magnitude_bits = std::bit_cast<std::uint64_t>(magnitude);
    // The magnitude a = significand * 2^exponent is at least 2^-60, so with
    // 128 or more fractional bits it is exact.
    const std::uint64_t significand = (magnitude_bits & ((std::uint64_t{1} << 52) - 1)) |
                                      std::uint64_t{1} << 52;
    const int exponent = static_cast<int>(magnitude_bits >> 52) - 1075;
    Natural a(significand);
    a = a * Natural::power_of_two(static_cast<unsigned>(exponent + static_cast<int>(precision)));

    // ln 2 = 2 atanh(1/3) and ln 10 = ln 8 + ln(5/4) = 6 atanh(1/3) + 2 atanh(1/9);
    // errors below 8 * precision and 32 * precision units.
    const Natural third = inverse_hyperbolic_tangent(3, precision);
    const Natural ninth = inverse_hyperbolic_tangent(9, precision);
    const Natural ln2 = third + third;
    Natural ln10 = ln2;
    ln10 *= 3;
    ln10 += ninth + ninth;

    // t = a ln 10 (a <= 400: error below 12800 * precision units, and one
    // more for the rounding down).
    Natural t = a * ln10;
    t >>= precision;

    // 10^-a = e^-t = 2^-k e^r with t = k ln 2 - r and 0 <= r < ln 2. The
    // estimate of k is corrected with the numbers themselves; k <= 1332, so
    // r is off by less than (1332 * 8 + 12800) * precision + 1, which is
    // below 24000 * precision units.
    auto k = static_cast<std::uint32_t>(magnitude * 3.3219280948873626) + 1;
    Natural k_ln2 = ln2;
    k_ln2 *= k;
    while (k_ln2 < t) {
        k_ln2 += ln2;
        ++k;
    }
    while (!(k_ln2 - ln2 < t)) {
        k_ln2 -= ln2;
        --k;
    }
    const Natural r = k_ln2 - t;

    // e^r has slope below 2.01 here, so its error is below 48300 * precision
    // units from r and 4 * precision from the series: 2^16 * precision
    // bounds both.
    const Natural power = exponential(r, precision);
    const Natural error(std::uint64_t{65536} * precision);
    const std::uint64_t low = nearest_double_bits(power - error, precision, static_cast<int>(k));
    const std::uint64_t high = nearest_double_bits(power + error, precision, static_cast<int>(k));
    if (low != high) {
        return std::nullopt;
    }
    return std::bit_cast<double>(low);
}

double compute_power_of_ten(double exponent) {
    const double magnitude = -exponent;
    if (!(magnitude >= unity_magnitude)) {
        return 1.0;
    }
    if (magnitude > underflow_magnitude) {
        return 0.0;
    }
    // Ziv's strategy: more bits until the bounds agree. A power of ten below
    // 1 is never a halfway point, so the bounds always agree eventually;
    // 192 bits almost always suffice.
    for (unsigned precision = 192;; precision *= 2) {
        if (const std::optional<double> power = attempt(magnitude, precision)) {
            return *power;
        }
    }
}

}  // namespace

double power_of_ten(double exponent) {
    // The power takes a few microseconds, twice what a short call of limit()
    // costs otherwise, and limit() builds a limiter per call, nearly always
    // at the threshold of the call before: each thread keeps its last power.
    thread_local std::uint64_t last_exponent_bits = std::bit_cast<std::uint64_t>(0.0);
    thread_local double last_power = 1.0;
    const auto exponent_bits = std::bit_cast<std::uint64_t>(exponent);
    if (exponent_bits != last_exponent_bits) {
        last_power = compute_power_of_ten(exponent);
        last_exponent_bits = exponent_bits;
    }
    return last_power;
}

}  // namespace zarn
