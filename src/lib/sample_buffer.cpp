#include "lib/sample_buffer.hpp"

#include <limits>
#include <new>
#include <utility>

#include "lib/aligned_memory.hpp"

namespace zarn {

namespace {

// Cache-line alignment lets the per-sample loops run on aligned vectors.
constexpr std::size_t small_alignment = 64;
// Large buffers are aligned to, and backed by, transparent huge pages: the
// first write to a fresh buffer otherwise takes one page fault per 4 KiB,
// which is a measurable part of processing a long buffer.
constexpr std::size_t huge_page_size = std::size_t{2} << 20;
constexpr std::size_t huge_buffer_bytes = std::size_t{4} << 20;

float* allocate_samples(std::size_t count) {
    if (count > std::numeric_limits<std::ptrdiff_t>::max() / sizeof(float)) {
        throw std::bad_alloc();
    }
    // An empty buffer still gets its own memory, so that a handed-over
    // buffer is never a null pointer.
    const std::size_t bytes = count == 0 ? small_alignment : count * sizeof(float);
    const bool huge = bytes >= huge_buffer_bytes;
    void* memory = allocate_aligned(bytes, huge ? huge_page_size : small_alignment);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    if (huge) {
        advise_huge_pages(memory, bytes);
    }
    return static_cast<float*>(memory);
}

}  // namespace

SampleBuffer::SampleBuffer(std::size_t count) : data_(allocate_samples(count)), size_(count) {}

SampleBuffer::SampleBuffer(SampleBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

SampleBuffer& SampleBuffer::operator=(SampleBuffer&& other) noexcept {
    if (this != &other) {
        free_samples(data_);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

SampleBuffer::~SampleBuffer() {
    free_samples(data_);
}

float* SampleBuffer::release() noexcept {
    size_ = 0;
    return std::exchange(data_, nullptr);
}

void SampleBuffer::free_samples(float* samples) noexcept {
    free_aligned(samples);
}

}  // namespace zarn
