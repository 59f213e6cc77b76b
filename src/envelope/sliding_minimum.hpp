#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>

namespace zarn {

// Moving minimum of the target gains of the last `window_length` frames,
// computed without data-dependent branches (van Herk / Gil-Werman): the
// frames are cut into blocks of window_length, and the minimum over a window
// is the smaller of the suffix minimum of the previous block from the
// window's start and the prefix minimum of the current block up to its end.
// It gives the same minima as the monotonic queue of the straightforward
// algorithm (TargetGainQueue in tests/native, which the tests compare it
// with), without the queue's branches that mispredict on loud audio. Frames
// before the first one (or before a restart) count as
// gain 1.0; every target gain is at most 1.0, so they never lower the
// minimum of a window that holds a real frame.
class SlidingMinimum {
public:
    // Where the next gains go, for a loop that pushes them itself: up to
    // `room` gains fit in the current block before it closes.
    struct Segment {
        double* block;          // slots of the next gains in the current block
        const double* suffix;   // suffix[j]: minimum that the window of the
                                // j-th next gain takes from the previous
                                // block; null when that block is all 1.0
        double prefix;          // minimum of the current block so far
        std::size_t room;

        // Appends the j-th gain of this segment and returns its window
        // minimum; HasPrevious says whether `suffix` is there.
        template <bool HasPrevious>
        double push(std::size_t j, double gain) {
            block[j] = gain;
            prefix = gain < prefix ? gain : prefix;
            if constexpr (HasPrevious) {
                return suffix[j] < prefix ? suffix[j] : prefix;
            }
            return prefix;
        }
    };

    // The longest window whose two block arrays (2 * window_length + 1
    // doubles) can be sized at all.
    static constexpr std::uint64_t max_window_length =
        static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(double) - 1;

    // Throws std::bad_alloc when the two block arrays cannot be allocated.
    explicit SlidingMinimum(std::uint64_t window_length);

    // Forgets every frame: the next frame starts a block whose predecessor
    // holds only gains of 1.0. Constant time; nothing is filled.
    void restart() noexcept;

    // Appends `count` target gains and writes the window minimum after each
    // one to `minima`.
    void push(const double* gains, double* minima, std::size_t count) noexcept;

    Segment segment() noexcept;
    // Takes back a segment after `pushed` (at most its room) gains.
    void commit(const Segment& segment, std::size_t pushed) noexcept;

private:
    void close_block() noexcept;

    std::size_t window_length_;
    // Target gains of the current block so far.
    std::unique_ptr<double[]> block_;
    // suffix_[k]: minimum of the previous block's gains from offset k on;
    // suffix_[window_length] is 1.0, the minimum of nothing.
    std::unique_ptr<double[]> suffix_;
    std::size_t offset_ = 0;     // position of the next frame in its block
    double prefix_ = 1.0;        // minimum of the current block so far
    bool has_previous_ = false;  // false: the previous block is all 1.0
};

}  // namespace zarn
