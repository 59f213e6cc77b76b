#pragma once

#include <cstdint>
#include <stdexcept>
#include <utility>

#include "lib/zarn_limiter.hpp"

// Builds a limiter from settings the test knows to be valid; an error fails
// the test with its text.
inline zarn::ZarnLimiter make_limiter(std::uint32_t sample_rate, double threshold_dBFS = 0.0,
                                      double attack_ms = 5.0, double hold_ms = 15.0,
                                      double release_ms = 40.0) {
    auto limiter =
        zarn::ZarnLimiter::create(sample_rate, threshold_dBFS, attack_ms, hold_ms, release_ms);
    if (!limiter) {
        throw std::runtime_error(limiter.error().message());
    }
    return std::move(*limiter);
}
