#include "binding/channel_major_copy.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace zarn::python {

namespace {

constexpr std::ptrdiff_t sample_bytes = sizeof(float);

// Transposing copies walk the frames in blocks small enough that the block's
// samples of every channel stay in the first-level cache between the
// channel passes over it (about 16 KiB per block).
std::size_t frames_per_block(std::size_t channels) {
    return std::max<std::size_t>(16, 4096 / channels);
}

// One sample from a possibly unaligned address; compiles to a plain load.
inline float load_sample(const char* address) {
    float sample;
    std::memcpy(&sample, address, sizeof sample);
    return sample;
}

// Interleaved stereo, the layout most audio readers return: two plain loops
// that the compiler turns into vector shuffles, about twice as fast as the
// blocked transposition.
bool is_packed_stereo(const char* first, std::size_t channels, std::ptrdiff_t channel_stride,
                      std::ptrdiff_t frame_stride) {
    return channels == 2 && channel_stride == sample_bytes && frame_stride == 2 * sample_bytes &&
           reinterpret_cast<std::uintptr_t>(first) % alignof(float) == 0;
}

}  // namespace

void gather_channel_major(const char* first, std::size_t channels, std::size_t frames,
                          std::ptrdiff_t channel_stride, std::ptrdiff_t frame_stride,
                          float* out, std::size_t row_stride) {
    if (channels == 0 || frames == 0) {
        return;
    }
    if (frame_stride == sample_bytes || frames == 1) {
        // Each channel is contiguous on its own (one copy per channel of a
        // channel-major block costs no more than one copy of the whole).
        for (std::size_t c = 0; c < channels; ++c) {
            std::memcpy(out + c * row_stride, first + static_cast<std::ptrdiff_t>(c) * channel_stride,
                        frames * sizeof(float));
        }
        return;
    }
    if (is_packed_stereo(first, channels, channel_stride, frame_stride)) {
        const auto* frames_first = reinterpret_cast<const float*>(first);
        for (std::size_t t = 0; t < frames; ++t) {
            out[t] = frames_first[2 * t];
            out[row_stride + t] = frames_first[2 * t + 1];
        }
        return;
    }
    const std::size_t block = frames_per_block(channels);
    for (std::size_t start = 0; start < frames; start += block) {
        const std::size_t end = std::min(frames, start + block);
        for (std::size_t c = 0; c < channels; ++c) {
            const char* channel = first + static_cast<std::ptrdiff_t>(c) * channel_stride;
            float* destination = out + c * row_stride;
            for (std::size_t t = start; t < end; ++t) {
                const std::ptrdiff_t offset = static_cast<std::ptrdiff_t>(t) * frame_stride;
                destination[t] = load_sample(channel + offset);
            }
        }
    }
}

void interleave_channels(const float* channel_major, std::size_t row_stride,
                         std::size_t channels, std::size_t frames, float* out) {
    if (channels == 0 || frames == 0) {
        return;
    }
    if (channels == 2) {
        for (std::size_t t = 0; t < frames; ++t) {
            out[2 * t] = channel_major[t];
            out[2 * t + 1] = channel_major[row_stride + t];
        }
        return;
    }
    const std::size_t block = frames_per_block(channels);
    for (std::size_t start = 0; start < frames; start += block) {
        const std::size_t end = std::min(frames, start + block);
        for (std::size_t c = 0; c < channels; ++c) {
            const float* source = channel_major + c * row_stride;
            for (std::size_t t = start; t < end; ++t) {
                out[t * channels + c] = source[t];
            }
        }
    }
}

}  // namespace zarn::python
