#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>

#include "lib/sample_buffer.hpp"
#include "binding/float_buffer.hpp"

namespace zarn::python {

// How a block of a stream, a float32 ndarray, lies in memory: `frames`
// frames of the stream's channels, sample (c, t) at `first + c *
// channel_stride + t * frame_stride` bytes.
struct BlockLayout {
    int rank;  // 1 for a one-channel block given as a vector, else 2
    std::size_t frames;
    const char* first;
    std::ptrdiff_t channel_stride;
    std::ptrdiff_t frame_stride;
};

// The layout of the converted block `array` for a stream of `channels`
// channels: (frames, channels), or one-dimensional when `channels` is 1.
// Nothing, with ValueError (or RuntimeError, when its dtype was changed
// during the call) set, when it does not fit.
std::optional<BlockLayout> read_block_layout(PyObject* array, std::size_t channels);

// Checks that lent result arrays hold `frames` frames of `rank` and
// `channels`; ValueError otherwise.
bool check_out_shapes(const FloatBuffer& audio, const FloatBuffer& gains, int rank,
                      std::size_t channels, std::size_t frames);

// Storage for `frames` frames of `channels` results; throws MemoryShortage.
SampleBuffer output_buffer(std::size_t channels, std::size_t frames);

// The result tuple (audio, frame_gains) of new arrays over the buffers:
// audio of `rank` ((frames, channels) or (frames,)), gains (frames,). Null
// with the exception set on failure.
PyObject* new_result_arrays(SampleBuffer audio, SampleBuffer gains, int rank,
                            std::size_t channels);

}  // namespace zarn::python
