#pragma once

#include <cstdint>
#include <vector>

namespace zarn::meter {

// The loudness of a block from its weighted mean square: -0.691 +
// 10 log10(mean_square), -inf for silence.
double loudness_of(double mean_square);

// The blocks of a programme that pass the absolute gate (above -70 LUFS),
// kept in constant memory however long the programme: bins of 0.01 LU from
// -70 LUFS up to +30 LUFS (louder blocks share the top bin), each with its
// count and the sum of its blocks' mean squares. The sums keep every mean
// exact; a relative gate or a percentile decides by each bin's mean, so only
// blocks within 0.01 LU of a threshold can fall on its other side.
class LoudnessHistogram {
public:
    LoudnessHistogram();

    // Adds one block by its weighted mean square; blocks at or below the
    // absolute gate are left out.
    void add(double mean_square);

    // The loudness of the blocks that pass the relative gate, which lies
    // `relative_gate_LU` below the loudness of all blocks here; -inf when
    // there are none.
    double gated_loudness(double relative_gate_LU) const;

    // The loudness range: the `high` minus the `low` percentile (fractions)
    // of the blocks that pass the relative gate; -inf when there are none.
    double loudness_range(double relative_gate_LU, double low, double high) const;

private:
    // The mean square a relative gate of `relative_gate_LU` stands at.
    double relative_threshold(double relative_gate_LU) const;
    bool passes(std::size_t bin, double threshold) const;
    // The mean loudness of the bin that holds the block of rank `rank`
    // among the blocks above `threshold`.
    double loudness_at_rank(std::uint64_t rank, double threshold) const;

    std::vector<std::uint64_t> counts_;
    std::vector<double> mean_square_sums_;
};

}  // namespace zarn::meter
