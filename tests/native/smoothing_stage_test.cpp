#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "envelope/smoothing_stage.hpp"
#include "lib/limiter.hpp"

namespace {

using zarn::SmoothingStage;

struct Cascade {
    explicit Cascade(std::uint64_t lookahead_samples)
        : stages{SmoothingStage(zarn::design_stage_lengths(lookahead_samples)[0]),
                 SmoothingStage(zarn::design_stage_lengths(lookahead_samples)[1]),
                 SmoothingStage(zarn::design_stage_lengths(lookahead_samples)[2])} {}

    double smooth(double x) {
        return stages[2].smooth(stages[1].smooth(stages[0].smooth(x)));
    }

    std::array<SmoothingStage, 3> stages;
};

TEST(SmoothingStage, SingleEntryPassesThroughUpToTheSumRounding) {
    SmoothingStage stage(1);
    EXPECT_EQ(stage.smooth(0.3), 0.30000000000000004);
    EXPECT_EQ(stage.position, 0u);
}

TEST(SmoothingStage, NeutralInputMultipliesByTheStoredReciprocal) {
    SmoothingStage stage(49);
    EXPECT_EQ(stage.smooth(1.0), std::nextafter(1.0, 0.0));
    EXPECT_EQ(stage.sum, 49.0);
    EXPECT_EQ(stage.position, 1u);
}

class CascadeReach : public testing::TestWithParam<std::uint64_t> {};

// One input value changes exactly lookahead_samples consecutive outputs, the
// current one included: a single dip is spread over the look-ahead span.
TEST_P(CascadeReach, OneInputAffectsExactlyTheLookaheadSpan) {
    const std::uint64_t lookahead = GetParam();
    Cascade neutral(lookahead);
    Cascade dipped(lookahead);
    const std::uint64_t dip_at = 3;
    std::vector<std::uint64_t> changed;
    for (std::uint64_t i = 0; i < lookahead + 10; ++i) {
        const double reference = neutral.smooth(1.0);
        // Beyond the span only rounding differences of the sums remain.
        if (std::fabs(dipped.smooth(i == dip_at ? 0.0 : 1.0) - reference) > 1e-12) {
            changed.push_back(i);
        }
    }
    ASSERT_EQ(changed.size(), lookahead);
    EXPECT_EQ(changed.front(), dip_at);
    EXPECT_EQ(changed.back(), dip_at + lookahead - 1);
}

// A step down to v ramps monotonically and arrives on the lookahead-th update.
TEST_P(CascadeReach, StepArrivesAfterTheLookahead) {
    const std::uint64_t lookahead = GetParam();
    Cascade cascade(lookahead);
    const double v = 0.25;
    double previous = 1.0;
    for (std::uint64_t update = 1; update <= lookahead + 20; ++update) {
        const double y = cascade.smooth(v);
        ASSERT_LE(y, previous + 1e-15) << update;
        if (update < lookahead) {
            ASSERT_GT(y, v + 1e-9) << update;
        } else {
            ASSERT_NEAR(y, v, 1e-14) << update;
        }
        previous = y;
    }
}

INSTANTIATE_TEST_SUITE_P(Lookaheads, CascadeReach,
                         testing::Values(1, 2, 3, 4, 5, 10, 48, 49, 240, 241, 441, 2205));

}  // namespace
