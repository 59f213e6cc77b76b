#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "envelope/sliding_minimum.hpp"
#include "target_gain_queue.hpp"

namespace {

// The branch-free sliding minimum against the queue, fed the same gains in
// pieces of random length (so that pieces end inside blocks and at their
// ends), with restarts at random frames matched by resets of the queue:
// frames before a restart count as 1.0, which every gain is at most.
TEST(SlidingMinimum, GivesTheMinimaOfTheQueue) {
    std::mt19937_64 random(5);
    for (const std::uint64_t window_length : {1u, 2u, 3u, 7u, 64u, 100u, 1500u}) {
        zarn::SlidingMinimum sliding(window_length);
        zarn::reference::TargetGainQueue queue(window_length);
        queue.reset();
        // Few distinct levels, so that equal gains meet; 1.0 and 0.0 among them.
        std::uniform_int_distribution<int> level(0, 5);
        std::uniform_int_distribution<std::size_t> piece(1, 2 * window_length + 3);
        std::vector<double> gains;
        std::vector<double> minima;
        std::size_t pushed = 0;
        while (pushed < 20000) {
            if (random() % 16 == 0) {
                sliding.restart();
                queue.reset();
            }
            const std::size_t count = piece(random);
            gains.resize(count);
            minima.assign(count, -1.0);
            for (double& gain : gains) {
                gain = level(random) / 5.0;
            }
            sliding.push(gains.data(), minima.data(), count);
            for (std::size_t k = 0; k < count; ++k) {
                ASSERT_EQ(minima[k], queue.push(gains[k]))
                    << "window " << window_length << ", frame " << pushed + k;
            }
            pushed += count;
        }
    }
}

TEST(SlidingMinimum, SegmentsEndWhereTheirBlockCloses) {
    zarn::SlidingMinimum sliding(5);
    EXPECT_EQ(sliding.segment().room, 5u);
    EXPECT_EQ(sliding.segment().suffix, nullptr);
    const double gains[3] = {0.5, 0.25, 1.0};
    double minima[3];
    sliding.push(gains, minima, 3);
    EXPECT_EQ(sliding.segment().room, 2u);
    sliding.push(gains, minima, 2);
    // The first block has closed: the next windows reach back into it.
    EXPECT_EQ(sliding.segment().room, 5u);
    EXPECT_NE(sliding.segment().suffix, nullptr);
    sliding.restart();
    EXPECT_EQ(sliding.segment().suffix, nullptr);
}

}  // namespace
