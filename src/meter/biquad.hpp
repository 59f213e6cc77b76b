#pragma once

namespace zarn::meter {

// One second-order section, normalised so that a0 = 1:
// y[n] = b0 x[n] + b1 x[n-1] + b2 x[n-2] - a1 y[n-1] - a2 y[n-2].
struct Biquad {
    double b0;
    double b1;
    double b2;
    double a1;
    double a2;
};

}  // namespace zarn::meter
