#include "envelope/gain_envelope.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "envelope/cloned_kernel.hpp"
#include "envelope/float_bits.hpp"
#include "envelope/fused_multiply_add.hpp"

namespace zarn {

namespace {

// Iterations per chunk: the target gains of one chunk live on the stack
// (8 KiB).
constexpr std::size_t chunk_iterations = 1024;

// A smoothing stage copied into locals for the length of a chunk, so that
// its position and sum stay in registers.
struct StageRegisters {
    explicit StageRegisters(SmoothingStage& stage)
        : ring(stage.buffer.get()),
          length(stage.length),
          position(stage.position),
          sum(stage.sum),
          inverse_length(stage.inverse_length) {}

    void store(SmoothingStage& stage) const {
        stage.position = position;
        stage.sum = sum;
    }

    // SmoothingStage::smooth with a select for the wrap rather than a
    // branch.
    double smooth(double x) {
        const double average = smoothing_step(ring[position], sum, inverse_length, x);
        position = position + 1 == length ? 0 : position + 1;
        return average;
    }

    // Inputs that can be pushed before the position wraps to 0.
    std::size_t until_wrap() const {
        return length - position;
    }

    // Moves on by `count` <= until_wrap() inputs that have been written.
    void advance(std::size_t count) {
        position += count;
        position = position == length ? 0 : position;
    }

    // Moves on by `count` inputs equal to every value already in the ring;
    // the sum does not change (each difference is +0).
    void skip(std::uint64_t count) {
        position = static_cast<std::size_t>((position + count % length) % length);
    }

    double* ring;
    std::size_t length;
    std::size_t position;
    double sum;
    double inverse_length;
};

// The per-iteration state of the envelope pass, in locals.
struct Cascade {
    StageRegisters first;
    StageRegisters second;
    StageRegisters third;
    double follower;
    double release_coefficient;
    double threshold;
    std::uint64_t lookahead_samples;
    // Peaks of the frames not yet yielded, gains of the rest: values[k]
    // belongs to frame first_frame + k.
    float* values;
    std::uint64_t first_frame;

    // The value of the frame that iteration `iteration` (at least
    // lookahead_samples) yields.
    float* yielded(std::uint64_t iteration) const {
        return values + (iteration - lookahead_samples - first_frame);
    }
};

double capped(double y3) {
    const double y = y3 < 1.0 ? y3 : 1.0;
    // The stage sums drift by rounding, so the cascade can end slightly
    // above 1 or below 0; a gain outside [0, 1] is never applied.
    return y < 0.0 ? 0.0 : y;
}

// The release follower's step: it drops to the window minimum at once and
// rises towards it by release_coefficient of the distance per frame. The
// one fused multiply-add of the envelope.
template <FusedMultiplyAdd fused>
[[gnu::always_inline]] inline double release_step(double follower, double window_minimum,
                                                  double release_coefficient) {
    const double released = fused(window_minimum - follower, release_coefficient, follower);
    return window_minimum < released ? window_minimum : released;
}

// The gain of a frame whose smoothed gain is `y`, as a float. The smoothed
// gain may still leave the frame above the ceiling (with no hold, or after
// drift); then the frame takes its own target.
[[gnu::always_inline]] inline float frame_gain(double y, double frame_peak, double threshold) {
    return static_cast<float>(y * frame_peak > threshold ? gain_to_threshold(frame_peak, threshold)
                                                         : y);
}

// One iteration's gain: the release follower, then the cascade and its cap.
template <FusedMultiplyAdd fused>
[[gnu::always_inline]] inline double next_gain(Cascade& c, double window_minimum) {
    c.follower = release_step<fused>(c.follower, window_minimum, c.release_coefficient);
    return capped(c.third.smooth(c.second.smooth(c.first.smooth(c.follower))));
}

// Iteration `iteration` yields the gain of the frame lookahead_samples
// before it.
[[gnu::always_inline]] inline void yield_frame(Cascade& c, std::uint64_t iteration, double y) {
    if (iteration >= c.lookahead_samples) {
        float& frame = *c.yielded(iteration);
        frame = frame_gain(y, static_cast<double>(frame), c.threshold);
    }
}

// Iterations over which no stage ring wraps and the window's block does not
// close. Iteration j pushes targets[j] into the window and, with Yield,
// gives frames[j] its gain: next_gain and yield_frame with running
// pointers, without the per-iteration wrap and look-ahead tests, the window
// minimum coming from the sliding minimum's segment.
template <FusedMultiplyAdd fused, bool Yield, bool HasPrevious>
[[gnu::always_inline]] inline void follow_segment(Cascade& c, SlidingMinimum::Segment& segment,
                                                  const double* targets, float* frames,
                                                  std::size_t count) {
    // Locals, so that the window's prefix minimum stays in a register rather
    // than going through memory that the ring stores might alias.
    SlidingMinimum::Segment window = segment;
    double follower = c.follower;
    double sum1 = c.first.sum;
    double sum2 = c.second.sum;
    double sum3 = c.third.sum;
    double* const ring1 = c.first.ring + c.first.position;
    double* const ring2 = c.second.ring + c.second.position;
    double* const ring3 = c.third.ring + c.third.position;
    for (std::size_t j = 0; j < count; ++j) {
        const double window_minimum = window.push<HasPrevious>(j, targets[j]);
        follower = release_step<fused>(follower, window_minimum, c.release_coefficient);
        const double y1 = smoothing_step(ring1[j], sum1, c.first.inverse_length, follower);
        const double y2 = smoothing_step(ring2[j], sum2, c.second.inverse_length, y1);
        const double y3 = smoothing_step(ring3[j], sum3, c.third.inverse_length, y2);
        if constexpr (Yield) {
            frames[j] = frame_gain(capped(y3), static_cast<double>(frames[j]), c.threshold);
        }
    }
    segment.prefix = window.prefix;
    c.follower = follower;
    c.first.sum = sum1;
    c.second.sum = sum2;
    c.third.sum = sum3;
    c.first.advance(count);
    c.second.advance(count);
    c.third.advance(count);
}

template <FusedMultiplyAdd fused, bool Yield>
[[gnu::always_inline]] inline void follow_segment(Cascade& c, SlidingMinimum::Segment& window,
                                                  const double* targets, float* frames,
                                                  std::size_t count) {
    if (window.suffix != nullptr) {
        follow_segment<fused, Yield, true>(c, window, targets, frames, count);
    } else {
        follow_segment<fused, Yield, false>(c, window, targets, frames, count);
    }
}

// The iterations [first, first + count) with the given target gains, cut
// into segments at every ring wrap, at every close of a window block and at
// the first yielding iteration. The tests check its gains bit for bit
// against the straightforward pass in tests/native.
template <FusedMultiplyAdd fused>
[[gnu::always_inline]] inline void follow_targets_with(
    Cascade& cascade, SlidingMinimum& target_minimum, std::uint64_t first, const double* targets,
    std::size_t count) {
    Cascade c = cascade;
    std::size_t k = 0;
    while (k < count) {
        const std::uint64_t iteration = first + k;
        SlidingMinimum::Segment window = target_minimum.segment();
        std::size_t run = std::min({count - k, window.room, c.first.until_wrap(),
                                    c.second.until_wrap(), c.third.until_wrap()});
        if (iteration < c.lookahead_samples) {
            run = static_cast<std::size_t>(
                std::min<std::uint64_t>(run, c.lookahead_samples - iteration));
            follow_segment<fused, false>(c, window, targets + k, nullptr, run);
        } else {
            follow_segment<fused, true>(c, window, targets + k, c.yielded(iteration), run);
        }
        target_minimum.commit(window, run);
        k += run;
    }
    cascade = c;
}

// Iterations whose window holds only frames at or below the threshold, so
// that the window minimum is 1.0. Once the follower has stayed at a fixed
// point for as many iterations as the three rings hold, every ring holds one
// value and every stage's difference is +0 (no sum is ever -0, so adding +0
// leaves it as it is): nothing changes any more, and the rest of the
// iterations yield the same gain. None of their frames is above the
// threshold, so the check against the frame's peak (y * peak, y <= 1)
// cannot fire. Returns the updated count of settled iterations. Checked,
// like follow_targets, against the straightforward pass in tests/native.
template <FusedMultiplyAdd fused>
[[gnu::always_inline]] inline std::uint64_t follow_unity_with(
    Cascade& cascade, std::uint64_t first, std::size_t count, std::uint64_t settled,
    std::uint64_t settled_needed) {
    Cascade c = cascade;
    std::size_t k = 0;
    for (; k < count && settled < settled_needed; ++k) {
        const double before = c.follower;
        yield_frame(c, first + k, next_gain<fused>(c, 1.0));
        const bool fixed = std::bit_cast<std::uint64_t>(c.follower) ==
                           std::bit_cast<std::uint64_t>(before);
        settled = fixed ? settled + 1 : 0;
    }
    if (k < count) {
        const std::uint64_t rest = count - k;
        const std::uint64_t end = first + count;
        const std::uint64_t yield_begin = std::max<std::uint64_t>(first + k, c.lookahead_samples);
        if (end > yield_begin) {
            const auto y = static_cast<float>(capped(c.third.sum * c.third.inverse_length));
            std::fill_n(c.yielded(yield_begin), end - yield_begin, y);
        }
        c.first.skip(rest);
        c.second.skip(rest);
        c.third.skip(rest);
    }
    cascade = c;
    return settled;
}

#if ZARN_FMA_CHOSEN_AT_RUN_TIME
// The kernels for processors with the FMA instruction, which
// fma_instruction_enabled chooses once per call: compiled for FMA, so that
// their whole loop takes the VEX encoding, as the glibc builds' clones do.
ZARN_COMPILED_FOR("fma") void follow_targets_by_instruction(
    Cascade& cascade, SlidingMinimum& target_minimum, std::uint64_t first, const double* targets,
    std::size_t count) {
    follow_targets_with<fma_instruction>(cascade, target_minimum, first, targets, count);
}

ZARN_COMPILED_FOR("fma") std::uint64_t follow_unity_by_instruction(
    Cascade& cascade, std::uint64_t first, std::size_t count, std::uint64_t settled,
    std::uint64_t settled_needed) {
    return follow_unity_with<fma_instruction>(cascade, first, count, settled, settled_needed);
}
#endif

// The kernels as the envelope calls them. Cloned for processors with FMA
// where the loader can choose, so that the library's fma becomes one
// instruction instead of a call; where the FMA instruction is chosen at
// run time, the version for it is taken by the call. Every version fuses
// the same operation, so the result is the same.
ZARN_CLONED_FOR("fma") void follow_targets(
    Cascade& cascade, SlidingMinimum& target_minimum, std::uint64_t first, const double* targets,
    std::size_t count) {
#if ZARN_FMA_CHOSEN_AT_RUN_TIME
    if (fma_instruction_enabled) {
        follow_targets_by_instruction(cascade, target_minimum, first, targets, count);
        return;
    }
#endif
    follow_targets_with<baseline_fused_multiply_add>(cascade, target_minimum, first, targets,
                                                     count);
}

ZARN_CLONED_FOR("fma") std::uint64_t follow_unity(
    Cascade& cascade, std::uint64_t first, std::size_t count, std::uint64_t settled,
    std::uint64_t settled_needed) {
#if ZARN_FMA_CHOSEN_AT_RUN_TIME
    if (fma_instruction_enabled) {
        return follow_unity_by_instruction(cascade, first, count, settled, settled_needed);
    }
#endif
    return follow_unity_with<baseline_fused_multiply_add>(cascade, first, count, settled,
                                                          settled_needed);
}

// Bit pattern of the largest float at or below `threshold`. A peak (a float
// that is never negative) is at or below the threshold exactly when its bit
// pattern is at or below this one, since the bit patterns of non-negative
// floats are ordered as their values.
std::uint32_t quiet_peak_bits(double threshold) {
    float bound = static_cast<float>(threshold);
    if (static_cast<double>(bound) > threshold) {
        bound = std::nextafter(bound, 0.0f);
    }
    return std::bit_cast<std::uint32_t>(bound);
}

// Index of the last peak above the threshold; there is one.
std::size_t last_above(const float* peaks, std::size_t count, double threshold) {
    std::size_t k = count;
    while (static_cast<double>(peaks[--k]) <= threshold) {
    }
    return k;
}

// The target gains of `count` iterations, `real` of which read a frame of
// the buffer (the rest read silence). Every frame's quotient is formed first
// and the choice made in a second loop: a division under a condition would
// become a branch that mispredicts on loud audio, while these two loops
// vectorise.
[[gnu::always_inline]] inline void compute_targets_body(const float* peaks, std::size_t real,
                                                        std::size_t count, double threshold,
                                                        double* targets) {
    for (std::size_t k = 0; k < real; ++k) {
        targets[k] = gain_to_threshold(static_cast<double>(peaks[k]), threshold);
    }
    for (std::size_t k = 0; k < real; ++k) {
        targets[k] = static_cast<double>(peaks[k]) > threshold ? targets[k] : 1.0;
    }
    std::fill(targets + real, targets + count, 1.0);
}

#if ZARN_AVX2_CHOSEN_AT_RUN_TIME
ZARN_COMPILED_FOR("avx2") void compute_targets_by_avx2(
    const float* peaks, std::size_t real, std::size_t count, double threshold, double* targets) {
    compute_targets_body(peaks, real, count, threshold, targets);
}
#endif

// Cloned for AVX2, or chosen for it where the loader cannot choose: twice
// the divisions per instruction, each rounded as one alone.
ZARN_CLONED_FOR("avx2") void compute_targets(
    const float* peaks, std::size_t real, std::size_t count, double threshold, double* targets) {
#if ZARN_AVX2_CHOSEN_AT_RUN_TIME
    if (avx2_enabled) {
        compute_targets_by_avx2(peaks, real, count, threshold, targets);
        return;
    }
#endif
    compute_targets_body(peaks, real, count, threshold, targets);
}

}  // namespace

void GainEnvelope::reset() {
    state.target_minimum.restart();
    state.follower = 1.0;
    for (SmoothingStage& stage : state.stages) {
        stage.reset();
    }
    state.next_iteration = 0;
    // Frames before the first count as silent ones.
    state.quiet_frames = window_length;
    state.settled_iterations = 0;
}

void GainEnvelope::run(std::span<float> frame_gains) {
    run_until({frame_gains.data(), 0, frame_gains.size()},
              frame_gains.size() + lookahead_samples);
}

void GainEnvelope::run_until(FrameWindow window, std::uint64_t end_iteration) {
    const std::uint64_t frames = window.frames_known;
    std::uint64_t& next_iteration = state.next_iteration;
    std::uint64_t& quiet_frames = state.quiet_frames;
    std::uint64_t& settled_iterations = state.settled_iterations;
    std::array<SmoothingStage, 3>& stages = state.stages;
    const std::uint64_t settled_needed = stages[0].length + stages[1].length + stages[2].length;
    Cascade cascade{StageRegisters(stages[0]), StageRegisters(stages[1]), StageRegisters(stages[2]),
                    state.follower, release_coefficient, threshold, lookahead_samples,
                    window.values, window.first_frame};
    const std::uint32_t quiet_bits = quiet_peak_bits(threshold);
    double targets[chunk_iterations];

    while (next_iteration < end_iteration) {
        const std::uint64_t first = next_iteration;
        const auto count =
            static_cast<std::size_t>(std::min<std::uint64_t>(chunk_iterations, end_iteration - first));
        // Iterations past the last frame read silence.
        const std::size_t real =
            first < frames ? static_cast<std::size_t>(std::min<std::uint64_t>(count, frames - first)) : 0;
        const float* const peaks =
            real > 0 ? window.values + (first - window.first_frame) : window.values;
        const bool quiet_chunk = magnitudes_at_most(peaks, real, quiet_bits);

        // Every window of this chunk holds only frames at or below the
        // threshold, so the window minimum is 1.0 throughout and the
        // sliding minimum skips these frames. That loses nothing: since the
        // last frame above the threshold it has been fed at least
        // window_length - 1 target gains of 1.0, so the frames it misses,
        // all with gains of 1.0 too, cannot change any later minimum.
        if (quiet_chunk && quiet_frames + 1 >= window_length) {
            settled_iterations =
                follow_unity(cascade, first, count, settled_iterations, settled_needed);
            quiet_frames += count;
        } else {
            // Read before the gains of this chunk overwrite its peaks.
            quiet_frames = quiet_chunk ? quiet_frames + count
                                       : count - 1 - last_above(peaks, real, threshold);
            compute_targets(peaks, real, count, threshold, targets);
            follow_targets(cascade, state.target_minimum, first, targets, count);
            settled_iterations = 0;
        }
        next_iteration += count;
    }

    cascade.first.store(stages[0]);
    cascade.second.store(stages[1]);
    cascade.third.store(stages[2]);
    state.follower = cascade.follower;
}

}  // namespace zarn
