#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
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

TEST_P(BufferAlignment, IsCacheLineAligned) {
    const std::size_t count = GetParam();
    SampleBuffer buffer(count);
    ASSERT_NE(buffer.data(), nullptr);
    EXPECT_EQ(buffer.size(), count);
    EXPECT_EQ(address(buffer.data()) % 64u, 0u);
    // The whole buffer is writable.
    if (count > 0) {
        buffer.data()[0] = 1.0f;
        buffer.data()[count - 1] = 2.0f;
        EXPECT_EQ(buffer.span().back(), 2.0f);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, BufferAlignment,
                         testing::Values(0, 1, 17, 4096, (1u << 20) - 1, 1u << 20, 3u << 20));

// A program that limits one buffer after another gets the memory of the
// last large buffer it freed back, pages already in place, rather than
// fresh zero-filled pages from the system: what it wrote is still there.
TEST(SampleBuffer, LargeBufferFreedIsReusedByTheNext) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer sees every buffer freed";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    GTEST_SKIP() << "AddressSanitizer sees every buffer freed";
#endif
#endif
    constexpr std::size_t count = 2u << 20;  // 8 MiB
    constexpr float mark = 0.75f;
    {
        SampleBuffer buffer(count);
        std::fill(buffer.data(), buffer.data() + count, mark);
    }
    SampleBuffer smaller(count - 1000);
    float kept = 0.0f;
    std::memcpy(&kept, smaller.data() + count / 2, sizeof kept);
    EXPECT_EQ(kept, mark);
    SampleBuffer larger(count + 1000);
    EXPECT_NE(larger.data(), nullptr);
    larger.data()[count + 999] = 1.0f;
}

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
