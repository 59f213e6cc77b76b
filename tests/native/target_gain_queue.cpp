#include "target_gain_queue.hpp"

#include <bit>
#include <cstddef>
#include <limits>
#include <new>

#include "lib/limiter_error.hpp"

namespace zarn::reference {

namespace {

std::unique_ptr<TargetGainQueue::Entry[]> allocate_ring(std::size_t capacity) {
    if (capacity == 0) {
        throw std::bad_alloc();
    }
    // Default-initialised: entries are written before they are read, and
    // untouched pages of a long window cost nothing.
    return std::unique_ptr<TargetGainQueue::Entry[]>(new TargetGainQueue::Entry[capacity]);
}

}  // namespace

std::size_t TargetGainQueue::ring_capacity(std::uint64_t window_length) noexcept {
    constexpr std::size_t max_entries =
        static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(Entry);
    // The bound keeps both window_length + 1 and the rounding up to a power
    // of two from overflowing.
    if (window_length >= max_entries) {
        return 0;
    }
    const std::size_t capacity = std::bit_ceil(static_cast<std::size_t>(window_length) + 1);
    return capacity <= max_entries ? capacity : 0;
}

TargetGainQueue::TargetGainQueue(std::uint64_t window_length)
    : window_length(window_length),
      next_frame(0),
      entries(allocate_ring(ring_capacity(window_length))),
      capacity_mask(ring_capacity(window_length) - 1),
      front(0),
      back(0) {}

void TargetGainQueue::reset() {
    next_frame = 0;
    front = 0;
    back = 0;
}

void TargetGainQueue::report_empty_window() {
    throw InternalError("the current value is always in the moving window");
}

}  // namespace zarn::reference
