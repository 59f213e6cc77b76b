#pragma once

#include <cstddef>

namespace zarn::python {

// Copies `channels` x `frames` float32 samples into channel rows of
// `row_stride` samples each (out[c * row_stride + t] = sample (c, t)).
// Sample (c, t) is read at `first + c * channel_stride + t * frame_stride`
// bytes; strides may be zero, negative or unaligned, and the source is only
// read.
void gather_channel_major(const char* first, std::size_t channels, std::size_t frames,
                          std::ptrdiff_t channel_stride, std::ptrdiff_t frame_stride, float* out,
                          std::size_t row_stride);

// Writes channel rows of `row_stride` samples in frame-major (interleaved)
// order: out[t * channels + c] = channel_major[c * row_stride + t].
void interleave_channels(const float* channel_major, std::size_t row_stride,
                         std::size_t channels, std::size_t frames, float* out);

}  // namespace zarn::python
