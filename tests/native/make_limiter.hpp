#pragma once

#include <cstdint>
#include <stdexcept>
#include <utility>

#include "lib/limiter.hpp"
#include "lib/limiter_settings.hpp"

// Builds a limiter from settings the test knows to be valid; an error fails
// the test with its text.
inline zarn::Limiter make_limiter(std::uint32_t sample_rate,
                                  const zarn::LimiterSettings& settings = {}) {
    auto limiter = zarn::Limiter::create(sample_rate, settings);
    if (!limiter) {
        throw std::runtime_error(limiter.error().message());
    }
    return std::move(*limiter);
}
