#include "envelope/smoothing_stage.hpp"

#include <algorithm>

namespace zarn {

SmoothingStage::SmoothingStage(std::size_t length)
    // Default-initialised: reset() fills the ring before it is read.
    : buffer(new double[length]),
      length(length),
      position(0),
      sum(0.0),
      inverse_length(1.0 / static_cast<double>(length)) {
    reset();
}

void SmoothingStage::reset() {
    std::fill_n(buffer.get(), length, 1.0);
    position = 0;
    sum = static_cast<double>(length);
}

}  // namespace zarn
