#include "envelope/smoothing_stage.hpp"

#include <algorithm>

#include "lib/limiter_error.hpp"

namespace zarn {

namespace {

std::unique_ptr<double[]> allocate_ring(std::size_t length) {
    if (length == 0) {
        throw InternalError("a smoothing stage holds at least one gain");
    }
    // Default-initialised: reset() fills the ring before it is read.
    return std::unique_ptr<double[]>(new double[length]);
}

}  // namespace

SmoothingStage::SmoothingStage(std::size_t length)
    : buffer(allocate_ring(length)),
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
