#pragma once

#include <cstdint>

#include "meter/biquad.hpp"

namespace zarn::meter {

// The two stages of the K-weighting: the head's high-frequency shelf, then
// the high-pass that discounts the lowest frequencies.
struct KWeighting {
    Biquad shelf;
    Biquad high_pass;
};

// The K-weighting at `sample_rate` hertz: the standard's own table at
// 48 kHz, at any other rate the same two analogue prototypes taken through
// the bilinear transform with the pole frequencies prewarped. Needs a rate
// above twice the shelf's 1682 Hz.
KWeighting k_weighting_for(std::uint32_t sample_rate);

// The design alone, at any rate: at 48 kHz it reproduces the table.
KWeighting design_k_weighting(double sample_rate);

}  // namespace zarn::meter
