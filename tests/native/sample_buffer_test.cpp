#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <new>
#include <utility>

#include "lib/sample_buffer.hpp"

namespace {

using zarn::SampleBuffer;

std::uintptr_t address(const float* data) {
    return reinterpret_cast<std::uintptr_t>(data);
}

class BufferAlignment : public testing::TestWithParam<std::size_t> {};

TEST_P(BufferAlignment, IsCacheLineOrHugePageAligned) {
    const std::size_t count = GetParam();
    SampleBuffer buffer(count);
    ASSERT_NE(buffer.data(), nullptr);
    EXPECT_EQ(buffer.size(), count);
    const std::size_t alignment = count * sizeof(float) >= (4u << 20) ? (2u << 20) : 64u;
    EXPECT_EQ(address(buffer.data()) % alignment, 0u);
    // The whole buffer is writable.
    if (count > 0) {
        buffer.data()[0] = 1.0f;
        buffer.data()[count - 1] = 2.0f;
        EXPECT_EQ(buffer.span().back(), 2.0f);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, BufferAlignment,
                         testing::Values(0, 1, 17, 4096, (1u << 20) - 1, 1u << 20, 3u << 20));

TEST(SampleBuffer, UnrepresentableSizesThrowBadAlloc) {
    EXPECT_THROW(SampleBuffer{std::numeric_limits<std::size_t>::max()}, std::bad_alloc);
    EXPECT_THROW(SampleBuffer{std::numeric_limits<std::size_t>::max() / 4 + 1}, std::bad_alloc);
}

TEST(SampleBuffer, MovesAndReleasesOwnership) {
    SampleBuffer first(8);
    float* const memory = first.data();
    SampleBuffer second(std::move(first));
    EXPECT_EQ(first.data(), nullptr);
    EXPECT_EQ(first.size(), 0u);
    EXPECT_EQ(second.data(), memory);
    EXPECT_EQ(second.size(), 8u);

    SampleBuffer third(4);
    third = std::move(second);
    EXPECT_EQ(third.data(), memory);
    EXPECT_EQ(third.size(), 8u);

    float* const released = third.release();
    EXPECT_EQ(released, memory);
    EXPECT_EQ(third.data(), nullptr);
    EXPECT_EQ(third.size(), 0u);
    SampleBuffer::free_samples(released);
}

}  // namespace
