#include "stream/stream_limiter.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <span>
#include <utility>

#include "lib/non_finite_search.hpp"

namespace zarn {

Expected<StreamLimiter, LimiterError> StreamLimiter::create(std::uint32_t sample_rate,
                                                            const LimiterSettings& settings,
                                                            std::size_t channels) {
    auto limiter = Limiter::create(sample_rate, settings);
    if (!limiter) {
        return Unexpected(std::move(limiter.error()));
    }
    if (channels == 0) {
        return Unexpected(LimiterError{ZeroChannels{}});
    }
    return StreamLimiter(std::move(*limiter), channels);
}

StreamLimiter::StreamLimiter(Limiter limiter, std::size_t channels)
    : limiter_(std::move(limiter)), channels_(channels) {
    limiter_.restart();
}

ChannelRows StreamLimiter::input_rows(std::size_t frames) {
    drop_handed_back();
    reserve(frames);
    return {samples_.data() + window_frames_, capacity_};
}

Expected<LimitedFrames, LimiterError> StreamLimiter::push(std::size_t frames) {
    // The earliest NaN or infinity of the block, frame first, then channel.
    std::optional<NonFiniteStreamSample> first_bad;
    for (std::size_t c = 0; c < channels_; ++c) {
        const std::span<const float> row(samples_.data() + c * capacity_ + window_frames_,
                                         first_bad ? first_bad->frame - frames_taken() : frames);
        if (const auto position = find_non_finite(row)) {
            first_bad = NonFiniteStreamSample{frames_taken() + *position, c};
        }
    }
    if (first_bad) {
        return Unexpected(LimiterError{*first_bad});
    }
    PassWindow step = window(window_frames_ + frames);
    window_frames_ += frames;
    return hand_back(limiter_.advance(step, false));
}

LimitedFrames StreamLimiter::finish() {
    drop_handed_back();
    const std::size_t frames = limiter_.advance(window(window_frames_), true);
    limiter_.restart();
    ended_ = true;
    return hand_back(frames);
}

PassWindow StreamLimiter::window(std::size_t frames) {
    return {.samples = samples_.data(),
            .stride = capacity_,
            .channels = channels_,
            .gains = gains_.data(),
            .first_frame = window_first_,
            .frames = frames,
            .peaks_gathered = window_frames_};
}

LimitedFrames StreamLimiter::hand_back(std::size_t frames) {
    handed_back_ = frames;
    return {samples_.data(), capacity_, gains_.data(), frames};
}

// Moves the frames still held to the start of the rows, behind which the
// next block goes.
void StreamLimiter::drop_handed_back() {
    const std::size_t held = window_frames_ - handed_back_;
    if (handed_back_ > 0 && held > 0) {
        for (std::size_t c = 0; c < channels_; ++c) {
            float* const row = samples_.data() + c * capacity_;
            std::memmove(row, row + handed_back_, held * sizeof(float));
        }
        std::memmove(gains_.data(), gains_.data() + handed_back_, held * sizeof(float));
    }
    window_first_ = ended_ ? 0 : window_first_ + handed_back_;
    window_frames_ = held;
    handed_back_ = 0;
    ended_ = false;
}

// Makes room for `frames` more frames behind those held, keeping them.
void StreamLimiter::reserve(std::size_t frames) {
    if (frames <= capacity_ - window_frames_) {
        return;
    }
    const std::size_t most = std::numeric_limits<std::size_t>::max() / sizeof(float) / channels_;
    if (frames > most - window_frames_) {
        throw std::bad_alloc();
    }
    const std::size_t capacity = window_frames_ + frames;
    SampleBuffer samples(channels_ * capacity);
    SampleBuffer gains(capacity);
    for (std::size_t c = 0; c < channels_ && window_frames_ > 0; ++c) {
        std::memcpy(samples.data() + c * capacity, samples_.data() + c * capacity_,
                    window_frames_ * sizeof(float));
    }
    if (window_frames_ > 0) {
        std::memcpy(gains.data(), gains_.data(), window_frames_ * sizeof(float));
    }
    samples_ = std::move(samples);
    gains_ = std::move(gains);
    capacity_ = capacity;
}

}  // namespace zarn
