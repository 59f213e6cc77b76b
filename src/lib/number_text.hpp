#pragma once

#include <cstdint>
#include <string>

namespace zarn {

// Plain decimal digits, no sign, no grouping.
std::string render_unsigned(std::uint64_t value);

// The shortest digits that read back to the same double, in positional
// notation (never an exponent); integral values without a decimal point;
// "-" for every negative value including -0; "NaN", "inf" and "-inf".
std::string render_double(double value);

}  // namespace zarn
