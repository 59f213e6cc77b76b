#include "lib/sample_buffer.hpp"

#include <atomic>
#include <cstdint>
#include <limits>
#include <new>
#include <utility>

#include "lib/aligned_memory.hpp"

// AddressSanitizer must see every buffer freed and never reused.
#if defined(__SANITIZE_ADDRESS__)
#define ZARN_RECYCLES_BUFFERS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZARN_RECYCLES_BUFFERS 0
#endif
#endif
#ifndef ZARN_RECYCLES_BUFFERS
#define ZARN_RECYCLES_BUFFERS 1
#endif

namespace zarn {

namespace {

// Cache-line alignment lets the per-sample loops run on aligned vectors.
constexpr std::size_t small_alignment = 64;
// Large buffers are aligned to, and backed by, transparent huge pages: the
// first write to a fresh buffer otherwise takes one page fault per 4 KiB,
// which is a measurable part of processing a long buffer.
constexpr std::size_t huge_page_size = std::size_t{2} << 20;
constexpr std::size_t huge_buffer_bytes = std::size_t{4} << 20;

// Every block starts with a header that records how many bytes of samples
// it holds, one cache line before the samples, so that a buffer handed over
// can be freed from the address of its samples alone.
constexpr std::size_t header_bytes = small_alignment;

std::size_t& capacity_of(void* block) noexcept {
    return *static_cast<std::size_t*>(block);
}

void* block_of(float* samples) noexcept {
    return reinterpret_cast<unsigned char*>(samples) - header_bytes;
}

float* samples_of(void* block) noexcept {
    return reinterpret_cast<float*>(static_cast<unsigned char*>(block) + header_bytes);
}

// The most recently freed large block, kept for the next large buffer.
// Windows' heap and musl's allocator give memory this large straight back
// to the system and map it afresh for the next request, one zero-filled
// page fault per 4 KiB (glibc keeps such blocks by itself, up to 32 MiB):
// a program that limits one buffer after another would pay the faults on
// every call. One block of at most spare_limit bytes is kept.
constexpr std::size_t spare_limit = std::size_t{64} << 20;
std::atomic<void*> spare_block{nullptr};

bool is_spare_sized(std::size_t bytes) noexcept {
    return ZARN_RECYCLES_BUFFERS && bytes >= huge_buffer_bytes && bytes <= spare_limit;
}

// The spare block if it holds `bytes`; one too small is given back to the
// system.
void* take_spare(std::size_t bytes) noexcept {
    void* block = spare_block.exchange(nullptr);
    if (block != nullptr && capacity_of(block) < bytes) {
        free_aligned(block);
        block = nullptr;
    }
    return block;
}

void* allocate_block(std::size_t bytes) {
    if (is_spare_sized(bytes)) {
        if (void* spare = take_spare(bytes)) {
            return spare;
        }
    }
    const bool huge = bytes >= huge_buffer_bytes;
    void* block = allocate_aligned(header_bytes + bytes, huge ? huge_page_size : small_alignment);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    if (huge) {
        advise_huge_pages(block, header_bytes + bytes);
    }
    capacity_of(block) = bytes;
    return block;
}

float* allocate_samples(std::size_t count) {
    if (count > (std::numeric_limits<std::ptrdiff_t>::max() - header_bytes) / sizeof(float)) {
        throw std::bad_alloc();
    }
    // An empty buffer still gets its own memory, so that a handed-over
    // buffer is never a null pointer.
    const std::size_t bytes = count == 0 ? small_alignment : count * sizeof(float);
    return samples_of(allocate_block(bytes));
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
    if (samples == nullptr) {
        return;
    }
    void* block = block_of(samples);
    if (is_spare_sized(capacity_of(block))) {
        block = spare_block.exchange(block);
    }
    free_aligned(block);
}

}  // namespace zarn
