#pragma once

#include <cstddef>
#include <span>

#include "lib/expected.hpp"
#include "lib/limiter_error.hpp"
#include "lib/sample_buffer.hpp"
#include "lib/zarn_limiter.hpp"

// The processing pass written the plain way, one step after another and one
// frame at a time, with the limiter's PeakWindow queue and smoothing stages.
// The optimised pass of the library must give the same errors, the same
// frame gains and the same samples, bit for bit.
zarn::Expected<zarn::SampleBuffer, zarn::LimiterError> reference_process(
    zarn::ZarnLimiter& limiter, std::span<float> samples, std::size_t channels);
