#pragma once

#include <cstddef>
#include <span>

#include "lib/expected.hpp"
#include "lib/limiter.hpp"
#include "lib/limiter_error.hpp"
#include "lib/sample_buffer.hpp"

// The processing pass written the plain way, one step after another and one
// frame at a time, with a monotonic queue (TargetGainQueue) for the window
// minimum and the limiter's release follower and smoothing stages, which it
// resets and advances as the library's pass does. The optimised pass of the
// library must give the same errors, the same frame gains, the same samples
// and the same final state, bit for bit.
zarn::Expected<zarn::SampleBuffer, zarn::LimiterError> reference_process(
    zarn::Limiter& limiter, std::span<float> samples, std::size_t channels);
