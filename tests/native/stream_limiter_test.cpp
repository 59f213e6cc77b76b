#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "lib/limiter.hpp"
#include "make_limiter.hpp"
#include "stream/stream_limiter.hpp"

// A stream limited block by block against the whole buffer limited at once:
// the same samples and gains, bit for bit, for any split into blocks.

namespace {

using zarn::LimiterSettings;
using zarn::StreamLimiter;

struct Output {
    std::vector<float> samples;  // channel-major
    std::vector<float> gains;
};

StreamLimiter make_stream(std::uint32_t rate, const LimiterSettings& settings,
                          std::size_t channels) {
    auto stream = StreamLimiter::create(rate, settings, channels);
    if (!stream) {
        throw std::runtime_error(stream.error().message());
    }
    return std::move(*stream);
}

// Appends limited frames, kept as one row per channel.
void append(std::vector<std::vector<float>>& rows, std::vector<float>& gains,
            const zarn::LimitedFrames& frames) {
    for (std::size_t c = 0; c < rows.size(); ++c) {
        const float* row = frames.samples + c * frames.stride;
        rows[c].insert(rows[c].end(), row, row + frames.frames);
    }
    gains.insert(gains.end(), frames.gains, frames.gains + frames.frames);
}

// Streams the channel-major `input` in blocks of the given lengths, then
// finishes the stream.
Output stream_through(StreamLimiter& stream, const std::vector<float>& input,
                      std::size_t channels, const std::vector<std::size_t>& blocks) {
    const std::size_t frames = input.size() / channels;
    std::vector<std::vector<float>> rows(channels);
    Output out;
    std::size_t done = 0;
    for (const std::size_t length : blocks) {
        const zarn::ChannelRows target = stream.input_rows(length);
        for (std::size_t c = 0; c < channels && length > 0; ++c) {
            std::memcpy(target.first + c * target.stride, input.data() + c * frames + done,
                        length * sizeof(float));
        }
        auto limited = stream.push(length);
        EXPECT_TRUE(limited.has_value());
        append(rows, out.gains, *limited);
        done += length;
    }
    append(rows, out.gains, stream.finish());
    for (const auto& row : rows) {
        out.samples.insert(out.samples.end(), row.begin(), row.end());
    }
    return out;
}

// Block lengths that add up to `frames`: empty blocks, single frames,
// blocks around the look-ahead and long ones.
std::vector<std::size_t> random_split(std::mt19937_64& random, std::size_t frames,
                                      std::size_t lookahead) {
    std::uniform_int_distribution<int> kind(0, 4);
    std::vector<std::size_t> blocks;
    while (frames > 0) {
        std::size_t length = 0;
        switch (kind(random)) {
            case 0: length = 0; break;
            case 1: length = 1; break;
            case 2: length = std::uniform_int_distribution<std::size_t>(1, lookahead + 1)(random); break;
            default: length = std::uniform_int_distribution<std::size_t>(1, 20000)(random); break;
        }
        length = std::min(length, frames);
        blocks.push_back(length);
        frames -= length;
    }
    return blocks;
}

std::vector<float> loud_bursts(std::mt19937_64& random, std::size_t frames, std::size_t channels) {
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::uniform_int_distribution<int> loud(0, 600);
    std::vector<float> samples(frames * channels);
    float level = 0.5f;
    for (std::size_t t = 0; t < frames; ++t) {
        if (loud(random) == 0) {
            level = level == 0.5f ? 4.0f : (level == 4.0f ? 0.0f : 0.5f);
        }
        for (std::size_t c = 0; c < channels; ++c) {
            samples[c * frames + t] = level * unit(random);
        }
    }
    return samples;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

struct Case {
    std::uint32_t rate;
    LimiterSettings settings;
    std::size_t channels;
    std::size_t frames;
};

class StreamIdentity : public testing::TestWithParam<Case> {};

TEST_P(StreamIdentity, AnySplitGivesTheWholeBufferResult) {
    const Case& test = GetParam();
    std::mt19937_64 random(test.frames * 31 + test.channels);
    const std::vector<float> input = loud_bursts(random, test.frames, test.channels);
    zarn::Limiter whole = make_limiter(test.rate, test.settings);
    std::vector<float> expected = input;
    const auto expected_gains = whole.process(expected, test.channels);
    ASSERT_TRUE(expected_gains.has_value());
    const std::vector<float> gains(expected_gains->data(),
                                   expected_gains->data() + expected_gains->size());

    // One stream object over several streams: each finish starts anew.
    StreamLimiter stream = make_stream(test.rate, test.settings, test.channels);
    for (int split = 0; split < 6; ++split) {
        const auto blocks = random_split(random, test.frames, whole.lookahead_samples);
        const Output out = stream_through(stream, input, test.channels, blocks);
        ASSERT_TRUE(same_bits(out.gains, gains)) << "split " << split;
        ASSERT_TRUE(same_bits(out.samples, expected)) << "split " << split;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Settings, StreamIdentity,
    testing::Values(Case{48000, {-1.0, 5.0, 15.0, 40.0}, 2, 100000},
                    Case{48000, {-1.0, 5.0, 15.0, 40.0}, 1, 100},
                    Case{1000, {0.0, 1.0, 0.0, 0.0}, 3, 5000},
                    Case{8000, {-6.0, 600.0, 10.0, 1e308}, 2, 30000},
                    Case{44100, {-12.0, 0.5, 0.0, 0.0}, 5, 20000},
                    Case{48000, {-7000.0, 2.0, 1.0, 50.0}, 1, 10000},
                    Case{48000, {-1.0, 50.0, 100.0, 500.0}, 2, 0}));

TEST(StreamLimiter, RejectsABlockWithANonFiniteSampleAndGoesOnAsIfItHadNotCome) {
    constexpr std::size_t channels = 2;
    std::mt19937_64 random(7);
    const std::vector<float> input = loud_bursts(random, 3000, channels);
    const std::vector<std::size_t> blocks = {700, 1300, 1000};
    StreamLimiter plain = make_stream(48000, {-1.0, 5.0, 15.0, 40.0}, channels);
    const Output expected = stream_through(plain, input, channels, blocks);

    StreamLimiter stream = make_stream(48000, {-1.0, 5.0, 15.0, 40.0}, channels);
    const zarn::ChannelRows first = stream.input_rows(700);
    for (std::size_t c = 0; c < channels; ++c) {
        std::memcpy(first.first + c * first.stride, input.data() + c * 3000, 700 * sizeof(float));
    }
    ASSERT_TRUE(stream.push(700).has_value());
    // Frame 700 + 9 holds an infinity in channel 1 and a NaN in channel 0
    // two frames later: the earlier frame is reported.
    const zarn::ChannelRows bad = stream.input_rows(10);
    std::fill_n(bad.first, 10, 0.0f);
    std::fill_n(bad.first + bad.stride, 10, 0.0f);
    bad.first[bad.stride + 9] = std::numeric_limits<float>::infinity();
    bad.first[4] = std::numeric_limits<float>::quiet_NaN();
    bad.first[bad.stride + 3] = -std::numeric_limits<float>::infinity();
    const auto refused = stream.push(10);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().message(), "input sample at frame 703, channel 1 is not finite");

    std::vector<std::vector<float>> rows(channels);
    Output out;
    for (std::size_t done = 700; const std::size_t length : {std::size_t{1300}, std::size_t{1000}}) {
        const zarn::ChannelRows target = stream.input_rows(length);
        for (std::size_t c = 0; c < channels; ++c) {
            std::memcpy(target.first + c * target.stride, input.data() + c * 3000 + done,
                        length * sizeof(float));
        }
        append(rows, out.gains, *stream.push(length));
        done += length;
    }
    append(rows, out.gains, stream.finish());
    // The frames after the refusal match the plain stream's from frame
    // 700 - latency on (what the first push handed back is left out).
    const std::size_t skipped = expected.gains.size() - out.gains.size();
    EXPECT_EQ(skipped, 700 - stream.limiter().lookahead_samples);
    EXPECT_TRUE(std::equal(out.gains.begin(), out.gains.end(), expected.gains.begin() + skipped,
                           [](float a, float b) {
                               return std::bit_cast<std::uint32_t>(a) ==
                                      std::bit_cast<std::uint32_t>(b);
                           }));
}

TEST(StreamLimiter, RefusesNoChannels) {
    const auto stream = StreamLimiter::create(48000, {}, 0);
    ASSERT_FALSE(stream.has_value());
    EXPECT_EQ(stream.error().message(), "channels must be greater than zero");
}

}  // namespace
