#pragma once

#include <cstddef>
#include <expected>
#include <span>

#include "lib/limiter_error.hpp"
#include "lib/sample_buffer.hpp"
#include "lib/limiter.hpp"

// The processing pass written the plain way, one step after another and one
// frame at a time, with the limiter's PeakWindow queue and smoothing stages.
// The optimised pass of the library must give the same errors, the same
// frame gains and the same samples, bit for bit.
std::expected<zarn::SampleBuffer, zarn::LimiterError> reference_process(
    zarn::Limiter& limiter, std::span<float> samples, std::size_t channels);
