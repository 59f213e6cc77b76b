#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace zarn {

// Moving minimum of the target gains of the last `window_length` frames: a
// monotonic queue of (frame, gain) pairs whose front is the minimum.
struct PeakWindow {
    struct Entry {
        std::uint64_t frame;
        double gain;
    };

    explicit PeakWindow(std::uint64_t window_length);  // throws std::bad_alloc

    // Empties the queue (the storage stays) and restarts the frame count.
    void reset();
    // Appends the gain of the next frame and returns the window minimum.
    double push(double gain);

    std::uint64_t window_length;
    std::uint64_t next_frame;
    // Ring storage with a power-of-two capacity of at least window_length + 1
    // (the queue holds one entry more between an append and the expiry of
    // the oldest one), so it never grows.
    std::unique_ptr<Entry[]> entries;
    std::size_t capacity_mask;
    std::size_t front;  // index of the oldest entry (unwrapped)
    std::size_t back;   // one past the newest entry (unwrapped)
};

}  // namespace zarn
