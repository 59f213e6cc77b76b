#pragma once

#include <cstddef>
#include <string>

#include "lib/limiter_error.hpp"

namespace zarn::python {

// The texts of the errors that the stream types word for the user.
namespace stream_errors {

inline constexpr const char* out_not_a_pair =
    "out must be None or a tuple (audio, gains) of two float32 arrays";
inline constexpr const char* out_shares_memory = "out[0] and out[1] must not share memory";
std::string block_rank(int rank);
std::string block_channels(int rank, std::size_t given, std::size_t channels);
std::string out_too_small(int rank, std::size_t channels, std::size_t frames);

}  // namespace stream_errors

// Raises the ValueError of a core error; a NaN or infinity in a stream
// carries its place as the attributes `frame` and `channel`, so that
// callers never read it from the text.
void raise_stream_error(const zarn::LimiterError& error);

}  // namespace zarn::python
