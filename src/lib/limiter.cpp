#include "lib/limiter.hpp"

#include <cmath>
#include <limits>
#include <new>

#include "envelope/sliding_minimum.hpp"
#include "envelope/smoothing_stage.hpp"
#include "lib/power_of_ten.hpp"

namespace zarn {

namespace {

// A duration passes when it is a zero of either sign or a positive finite
// value; NaN fails every comparison and so fails here too.
bool is_valid_duration(double ms) {
    return ms >= 0.0 && ms <= std::numeric_limits<double>::max();
}

// Rounds half away from zero and converts to a count, saturating: values at
// or below zero give 0, values of 2^64 or more (and +inf) give the maximum.
std::uint64_t count_of(double samples) {
    const double rounded = std::round(samples);
    if (!(rounded > 0.0)) {
        return 0;
    }
    if (rounded >= 18446744073709551616.0) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return static_cast<std::uint64_t>(rounded);
}

// Milliseconds to samples: the product first, then the division, each
// rounded once.
double samples_of(double ms, double rate) {
    return (ms * rate) / 1000.0;
}

// Refuses, before anything is allocated, a window or look-ahead whose
// storage cannot even be sized: the moving minimum's 2 * window_length + 1
// doubles and the three stage rings of lookahead_samples + 2 doubles in all.
void check_storage(std::uint64_t lookahead_samples, std::uint64_t window_length) {
    constexpr std::uint64_t max_ring_entries =
        static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(double);
    if (window_length > SlidingMinimum::max_window_length) {
        throw std::bad_alloc();
    }
    if (lookahead_samples > max_ring_entries - 2) {
        throw std::bad_alloc();
    }
}

}  // namespace

std::array<std::size_t, 3> design_stage_lengths(std::uint64_t lookahead_samples) {
    // Shares of the look-ahead that each stage takes; they sum to
    // 0.999999999999, and the units left over by the floors (including that
    // shortfall) go to the largest remainders.
    constexpr std::array<double, 3> shares = {0.404078562416, 0.334851475794, 0.261069961789};
    const std::uint64_t n = lookahead_samples == 0 ? 0 : lookahead_samples - 1;
    const double span = static_cast<double>(n);

    std::array<std::size_t, 3> lengths{};
    std::array<double, 3> remainders{};
    std::uint64_t assigned = 0;
    for (std::size_t stage = 0; stage < 3; ++stage) {
        const double exact = span * shares[stage];
        const double whole = std::floor(exact);
        const auto floor_count = static_cast<std::size_t>(whole);
        lengths[stage] = floor_count + 1;
        remainders[stage] = exact - static_cast<double>(floor_count);
        assigned += floor_count;
    }

    // The floors never exceed n, since the shares sum to less than 1.
    for (std::uint64_t unit = assigned; unit < n; ++unit) {
        std::size_t largest = 0;
        for (std::size_t stage = 1; stage < 3; ++stage) {
            if (remainders[stage] > remainders[largest]) {
                largest = stage;
            }
        }
        lengths[largest] += 1;
        remainders[largest] -= 1.0;
    }
    return lengths;
}

Expected<Limiter, LimiterError> Limiter::create(std::uint32_t sample_rate,
                                                const LimiterSettings& settings) {
    const auto [threshold_dBFS, attack_ms, hold_ms, release_ms] = settings;
    if (sample_rate == 0) {
        return Unexpected(LimiterError{ZeroSampleRate{}});
    }
    // Written so that NaN fails too: only a finite value at most 0 passes.
    if (!(threshold_dBFS <= 0.0 && threshold_dBFS >= -std::numeric_limits<double>::max())) {
        return Unexpected(LimiterError{InvalidThreshold{threshold_dBFS}});
    }
    const double threshold = power_of_ten(threshold_dBFS / 20.0);
    if (!is_valid_duration(attack_ms)) {
        return Unexpected(LimiterError{InvalidDuration{"attack_ms", attack_ms}});
    }
    if (!is_valid_duration(hold_ms)) {
        return Unexpected(LimiterError{InvalidDuration{"hold_ms", hold_ms}});
    }
    if (!is_valid_duration(release_ms)) {
        return Unexpected(LimiterError{InvalidDuration{"release_ms", release_ms}});
    }

    const auto rate = static_cast<double>(sample_rate);
    const std::uint64_t lookahead_samples = count_of(samples_of(attack_ms, rate));
    if (lookahead_samples == 0) {
        return Unexpected(LimiterError{AttackRoundsToZero{attack_ms, sample_rate}});
    }
    const std::uint64_t hold_end = count_of(samples_of(attack_ms + hold_ms, rate));
    const std::uint64_t window_length = hold_end > lookahead_samples ? hold_end : lookahead_samples;

    check_storage(lookahead_samples, window_length);
    const std::array<std::size_t, 3> lengths = design_stage_lengths(lookahead_samples);
    const double release_samples = samples_of(release_ms, rate);

    return Limiter{
        .sample_rate = sample_rate,
        .threshold_dBFS = threshold_dBFS,
        .threshold = threshold,
        .lookahead_samples = lookahead_samples,
        .window_length = window_length,
        .hold_samples = window_length - lookahead_samples,
        .release_samples = release_samples,
        .release_coefficient = 1.0 / (release_samples + 1.0),
        .state = {.target_minimum = SlidingMinimum(window_length),
                  .stages = {SmoothingStage(lengths[0]), SmoothingStage(lengths[1]),
                             SmoothingStage(lengths[2])},
                  .follower = 1.0},
    };
}

}  // namespace zarn
