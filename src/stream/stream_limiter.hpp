#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/expected.hpp"
#include "lib/limiter.hpp"
#include "lib/limiter_error.hpp"
#include "lib/limiter_settings.hpp"
#include "lib/sample_buffer.hpp"

namespace zarn {

// Channel rows of a stream's working buffer: sample (c, k) at
// first[c * stride + k].
struct ChannelRows {
    float* first;
    std::size_t stride;
};

// Frames a step of a stream has limited, in its working buffer: sample
// (c, k) at samples[c * stride + k] and the frame's gain at gains[k], for
// k < frames. Valid until the stream's next call.
struct LimitedFrames {
    const float* samples;
    std::size_t stride;
    const float* gains;
    std::size_t frames;
};

// The limiter over a stream of frames that arrive block by block. Every
// block goes through the same resumable pass as a whole buffer, so the
// frames and gains it hands back, concatenated, are those that limiting
// the whole stream at once gives, bit for bit. A frame is handed back once
// the lookahead_samples frames after it have arrived (or the stream ends):
// until then it is held, with its peak, in the working buffer.
class StreamLimiter {
public:
    // Validates the settings as Limiter::create does, and the channel
    // count. Throws std::bad_alloc as Limiter::create does.
    static Expected<StreamLimiter, LimiterError> create(std::uint32_t sample_rate,
                                                        const LimiterSettings& settings,
                                                        std::size_t channels);
    // A stream of `channels` frames (at least 1) limited by `limiter`.
    StreamLimiter(Limiter limiter, std::size_t channels);

    // Where the next block's `frames` frames go: the caller writes them
    // there, channel row by channel row, then calls push. Drops the frames
    // handed back by the previous step. Throws std::bad_alloc when the
    // working buffer cannot grow; the stream is unchanged then.
    ChannelRows input_rows(std::size_t frames);

    // Limits the block of `frames` frames written to the input rows and
    // hands back the frames now complete. A NaN or infinity rejects the
    // whole block, leaving the stream as it was before input_rows.
    Expected<LimitedFrames, LimiterError> push(std::size_t frames);

    // Hands back the frames still held, limited as the end of the stream;
    // the next block starts a new stream.
    LimitedFrames finish();

    // Frames that a push of `frames` frames would hand back: those of the
    // held ones and the block's that lie lookahead_samples or more frames
    // before the block's end.
    std::size_t completed_by(std::size_t frames) const noexcept {
        const std::size_t seen = held() + frames;
        return seen > limiter_.lookahead_samples
                   ? seen - static_cast<std::size_t>(limiter_.lookahead_samples)
                   : 0;
    }
    // Frames held back: what finish would hand back.
    std::size_t held() const noexcept { return window_frames_ - handed_back_; }

    const Limiter& limiter() const noexcept { return limiter_; }
    std::size_t channels() const noexcept { return channels_; }
    // Frames of the current stream taken so far.
    std::uint64_t frames_taken() const noexcept { return window_first_ + window_frames_; }

private:

    PassWindow window(std::size_t frames);
    LimitedFrames hand_back(std::size_t frames);
    void drop_handed_back();
    void reserve(std::size_t frames);

    Limiter limiter_;
    std::size_t channels_;
    // Channel rows of capacity_ frames each, then the frames' peaks or
    // gains. The window's frames start at column 0.
    SampleBuffer samples_;
    SampleBuffer gains_;
    std::size_t capacity_ = 0;
    // The window: frames [window_first_, window_first_ + window_frames_)
    // of the stream, the first handed_back_ of which the last step handed
    // back.
    std::uint64_t window_first_ = 0;
    std::size_t window_frames_ = 0;
    std::size_t handed_back_ = 0;
    // The last step ended the stream: the next block is frame 0 again.
    bool ended_ = false;
};

}  // namespace zarn
