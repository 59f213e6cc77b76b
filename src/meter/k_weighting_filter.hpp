#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "meter/k_weighting.hpp"

namespace zarn::meter {

// The K-weighting of every channel, run sample by sample in double
// precision, and the sum of the squares of its output. The state carries
// from call to call, so any division of a stream into calls gives the same
// bits.
class KWeightingFilter {
public:
    KWeightingFilter(std::uint32_t sample_rate, std::size_t channels);

    // Filters `count` samples of each channel, channel c's at
    // channels[c][0..count), and adds their squares to energies[c].
    void accumulate(const float* const* channels, std::size_t count, double* energies);

    // The state of one channel: the shelf's last inputs and outputs (which
    // are the high-pass's last inputs) and the high-pass's last outputs.
    struct ChannelState {
        double input1 = 0.0, input2 = 0.0;
        double shelved1 = 0.0, shelved2 = 0.0;
        double output1 = 0.0, output2 = 0.0;
    };

private:
    KWeighting weighting_;
    std::vector<ChannelState> states_;
};

}  // namespace zarn::meter
