#include "envelope/sliding_minimum.hpp"

#include <algorithm>
#include <new>

namespace zarn {

namespace {

// Default-initialised: entries are written before they are read, so a long
// window costs only the pages that a call actually reaches.
std::unique_ptr<double[]> allocate_block(std::uint64_t entries) {
    if (entries == 0 || entries > SlidingMinimum::max_window_length + 1) {
        throw std::bad_alloc();
    }
    return std::unique_ptr<double[]>(new double[static_cast<std::size_t>(entries)]);
}

}  // namespace

SlidingMinimum::SlidingMinimum(std::uint64_t window_length)
    : window_length_(static_cast<std::size_t>(window_length)),
      block_(allocate_block(window_length)),
      suffix_(allocate_block(window_length + 1)) {}

void SlidingMinimum::restart() noexcept {
    offset_ = 0;
    prefix_ = 1.0;
    has_previous_ = false;
}

SlidingMinimum::Segment SlidingMinimum::segment() noexcept {
    // The window of the frame at offset k reaches back into the previous
    // block from offset k + 1 on.
    return Segment{block_.get() + offset_,
                   has_previous_ ? suffix_.get() + offset_ + 1 : nullptr, prefix_,
                   window_length_ - offset_};
}

void SlidingMinimum::commit(const Segment& segment, std::size_t pushed) noexcept {
    prefix_ = segment.prefix;
    offset_ += pushed;
    if (offset_ == window_length_) {
        close_block();
    }
}

void SlidingMinimum::push(const double* gains, double* minima, std::size_t count) noexcept {
    while (count > 0) {
        Segment next = segment();
        const std::size_t run = std::min(count, next.room);
        if (next.suffix != nullptr) {
            for (std::size_t j = 0; j < run; ++j) {
                minima[j] = next.push<true>(j, gains[j]);
            }
        } else {
            for (std::size_t j = 0; j < run; ++j) {
                minima[j] = next.push<false>(j, gains[j]);
            }
        }
        commit(next, run);
        gains += run;
        minima += run;
        count -= run;
    }
}

// Turns the full block into the suffix minima that the next block's windows
// read, and starts the next block.
void SlidingMinimum::close_block() noexcept {
    double* const suffix = suffix_.get();
    const double* const block = block_.get();
    double minimum = 1.0;
    suffix[window_length_] = minimum;
    for (std::size_t k = window_length_; k-- > 0;) {
        minimum = block[k] < minimum ? block[k] : minimum;
        suffix[k] = minimum;
    }
    offset_ = 0;
    prefix_ = 1.0;
    has_previous_ = true;
}

}  // namespace zarn
