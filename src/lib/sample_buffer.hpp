#pragma once

#include <cstddef>
#include <span>

namespace zarn {

// An owned, uninitialised float32 buffer. Its memory can be handed over to
// another owner with release() (the binding gives it to a NumPy array's base
// object), which must then free it with free_samples().
class SampleBuffer {
public:
    SampleBuffer() = default;
    // Allocates `count` samples; throws std::bad_alloc when that is impossible.
    explicit SampleBuffer(std::size_t count);
    SampleBuffer(SampleBuffer&& other) noexcept;
    SampleBuffer& operator=(SampleBuffer&& other) noexcept;
    SampleBuffer(const SampleBuffer&) = delete;
    SampleBuffer& operator=(const SampleBuffer&) = delete;
    ~SampleBuffer();

    float* data() noexcept { return data_; }
    const float* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::span<float> span() noexcept { return {data_, size_}; }
    std::span<const float> span() const noexcept { return {data_, size_}; }

    // Gives up ownership; the caller frees the memory with free_samples().
    float* release() noexcept;
    static void free_samples(float* samples) noexcept;

private:
    float* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace zarn
