#pragma once

#include <cstddef>
#include <vector>

namespace zarn::meter {

// The weight of each channel in the sum of channel powers when the caller
// gives none: 1.0 for front channels, 1.41 for surrounds, 0 for the LFE.
// By count: 5 is L R C Ls Rs, 6 is L R C LFE Ls Rs, 8 is L R C LFE Ls Rs
// Lb Rb (7.1); every other count (1 to 4, 7, 9 and more) weighs all
// channels 1.0, since no one layout is usual enough to assume.
std::vector<double> default_channel_weights(std::size_t channels);

}  // namespace zarn::meter
