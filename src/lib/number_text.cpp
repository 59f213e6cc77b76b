#include "lib/number_text.hpp"

#include <charconv>
#include <cmath>
#include <string_view>

namespace zarn {

namespace {

// Lays out significant digits d1 d2 ... dk with value d1.d2...dk x 10^exponent
// in positional notation, padding with zeros on whichever side needs them.
std::string positional(std::string_view digits, int exponent) {
    const int count = static_cast<int>(digits.size());
    if (exponent < 0) {
        return "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') +
               std::string(digits);
    }
    if (exponent >= count - 1) {
        const auto zeros = static_cast<std::size_t>(exponent - (count - 1));
        return std::string(digits) + std::string(zeros, '0');
    }
    const auto point = static_cast<std::size_t>(exponent + 1);
    return std::string(digits.substr(0, point)) + "." + std::string(digits.substr(point));
}

}  // namespace

std::string render_unsigned(std::uint64_t value) {
    char digits[20];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    return std::string(digits, result.ptr);
}

std::string render_double(double value) {
    if (std::isnan(value)) {
        return "NaN";
    }
    if (std::isinf(value)) {
        return value < 0.0 ? "-inf" : "inf";
    }
    // Scientific notation without a precision yields the fewest significant
    // digits that read back to the same double ("1e+23", not the 23 exact
    // digits of 99999999999999991611392 that fixed notation would print).
    char text[32];
    const auto result =
        std::to_chars(text, text + sizeof text, std::fabs(value), std::chars_format::scientific);
    const std::string_view scientific(text, static_cast<std::size_t>(result.ptr - text));
    const std::size_t e = scientific.find('e');
    std::string digits(scientific.substr(0, e));
    if (digits.size() > 1) {
        digits.erase(1, 1);  // the decimal point after the first digit
    }
    int exponent = 0;
    const std::string_view exponent_text = scientific.substr(e + 1);
    const char* exponent_begin = exponent_text.data() + (exponent_text.front() == '+' ? 1 : 0);
    std::from_chars(exponent_begin, exponent_text.data() + exponent_text.size(), exponent);

    const std::string magnitude = digits == "0" ? "0" : positional(digits, exponent);
    return std::signbit(value) ? "-" + magnitude : magnitude;
}

}  // namespace zarn
