#pragma once

#include <optional>
#include <vector>

namespace zarn::meter {

// What a meter has measured so far. A measure that needs more programme
// than there was (a 400 ms block, a 3 s window, a block above the absolute
// gate), or that silence leaves without a level, is -inf.
struct Loudness {
    double integrated_LUFS;
    double loudness_range_LU;
    double momentary_max_LUFS;
    double short_term_max_LUFS;
    // The largest of the channels' true peaks.
    double true_peak_dBTP;
    std::vector<double> channel_true_peaks_dBTP;
    double sample_peak_dBFS;
    // Only for a meter built to measure it.
    std::optional<double> reconstructed_peak_dBFS;
};

}  // namespace zarn::meter
