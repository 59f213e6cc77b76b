#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

// The texts of the errors that the binding itself words for the user, in
// one place so that they read alike; the core's own texts are those of
// zarn::LimiterError.
namespace zarn::python::error_texts {

// ValueError.
inline constexpr const char* invalid_sample_rate = "sample_rate must be a positive 32-bit integer";
inline constexpr const char* invalid_channels =
    "channels must be a positive integer no greater than 65535";
inline constexpr const char* empty_channel_dimension = "the channel dimension must not be empty";
std::string invalid_rank(int rank);
std::string invalid_axis(std::int64_t axis, unsigned rank);

// RuntimeError.
inline constexpr const char* already_borrowed = "Already borrowed";
inline constexpr const char* already_mutably_borrowed = "Already mutably borrowed";

inline constexpr const char* audio_changed_during_call =
    "audio was changed during the call: its dtype is no longer float32 (code run while a "
    "later argument was converted changed it in place)";

inline constexpr const char* initialisation_reentered =
    "zarn_limiter was called from inside its own one-time initialisation on the same thread "
    "(from a gc callback, an import hook, a finaliser or a signal handler); call it once the "
    "outer call has returned";

inline constexpr const char* initialisation_interrupted_by_fork =
    "zarn_limiter's one-time initialisation was interrupted by fork() while another thread "
    "ran it; it cannot be completed in this process";

// MemoryError.
inline constexpr const char* memory_exhausted = "zarn_limiter ran out of memory";
// The look-ahead and hold storage of a limiter with these settings.
std::string lookahead_storage(double attack_ms, double hold_ms, std::uint32_t sample_rate);
// The float32 copy of an array of `shape` that is cast from another dtype.
std::string cast_samples(std::span<const Py_ssize_t> shape);
// The channel-major or output samples of a buffer.
std::string buffer_samples(std::size_t channels, std::size_t frames);
// The frame gains of a buffer.
std::string frame_gains(std::size_t frames);
// The samples of a sequence converted item by item.
std::string sequence_samples(std::size_t items);

}  // namespace zarn::python::error_texts
