#pragma once

#include <cstddef>

namespace zarn::meter {

// The largest |x[i]| for i in [0, count), 0 for none; the samples are finite.
float largest_magnitude(const float* x, std::size_t count);

}  // namespace zarn::meter
