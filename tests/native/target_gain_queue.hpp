#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace zarn::reference {

// Moving minimum of the target gains of the last `window_length` frames, the
// straightforward way: a monotonic queue of (frame, gain) pairs whose front
// is the minimum. Frame indices and gains both strictly increase from front
// to back. The reference pass uses it, and the library's SlidingMinimum is
// checked against it.
struct TargetGainQueue {
    struct Entry {
        std::uint64_t frame;
        double gain;
    };

    // Throws std::bad_alloc when the ring for `window_length` + 1 entries
    // cannot be sized or allocated.
    explicit TargetGainQueue(std::uint64_t window_length);

    // The power-of-two ring capacity for a window of `window_length` frames,
    // or 0 when it (or its size in bytes) is not representable.
    static std::size_t ring_capacity(std::uint64_t window_length) noexcept;

    // Empties the queue (the storage stays) and restarts the frame count.
    void reset();
    // Appends the gain of the next frame and returns the window minimum.
    // Throws InternalError if the queue is empty afterwards, which the
    // invariants rule out.
    double push(double gain) {
        // Older entries that are not lower can never be the minimum again.
        while (back != front && entries[(back - 1) & capacity_mask].gain >= gain) {
            --back;
        }
        entries[back & capacity_mask] = Entry{next_frame, gain};
        ++back;
        ++next_frame;
        const std::uint64_t lower = next_frame >= window_length ? next_frame - window_length : 0;
        while (front != back && entries[front & capacity_mask].frame < lower) {
            ++front;
        }
        if (front == back) {
            report_empty_window();
        }
        return entries[front & capacity_mask].gain;
    }

    [[noreturn]] static void report_empty_window();

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

}  // namespace zarn::reference
