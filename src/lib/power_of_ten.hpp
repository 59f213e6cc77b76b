#pragma once

namespace zarn {

// 10^exponent correctly rounded to double (to nearest, ties to even) for a
// finite exponent at most 0, down to the subnormals and 0.0. The C library's
// pow is at best faithfully rounded and differs between libraries and
// processors; this one is computed with integer arithmetic alone, so every
// platform and compiler gives the same bits.
double power_of_ten(double exponent);

}  // namespace zarn
