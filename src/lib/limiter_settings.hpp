#pragma once

namespace zarn {

// What a user chooses about a limiter besides the sample rate, with the
// defaults that every entry point and every document uses.
struct LimiterSettings {
    // Output ceiling in dBFS: finite and at most 0 (either zero passes).
    double threshold_dBFS = 0.0;
    // Look-ahead, the span over which a drop in gain is ramped in, in ms.
    double attack_ms = 5.0;
    // How long the lowest gain is held after the look-ahead, in ms.
    double hold_ms = 15.0;
    // Time constant of the rise back towards unity gain, in ms.
    double release_ms = 40.0;
};

}  // namespace zarn
