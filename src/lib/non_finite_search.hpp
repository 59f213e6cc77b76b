#pragma once

#include <cstddef>
#include <optional>
#include <span>

namespace zarn {

// Position of the first NaN or infinite sample of `samples`, in buffer
// order, found block by block so that samples without one are only read,
// at full speed.
std::optional<std::size_t> find_non_finite(std::span<const float> samples);

}  // namespace zarn
