// A run's framewise displacement summed up against its two thresholds, and
// the low-motion time still to scan: the figures the report, the live view
// and the session record all show.
#include "korvanth/run/volume_metrics.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

constexpr double notFinite = std::numeric_limits<double>::quiet_NaN();
constexpr korvanth::FdThresholds thresholds = korvanth::defaultFdThresholds;

// FD exactly at a threshold is at or below it, never above; an FD that is not
// finite (an estimate that failed) counts as a volume and in no figure; the
// first volume is low-motion but not in the mean or the largest.
TEST(MotionTally, CountsEachVolumeAgainstBothThresholds) {
    korvanth::MotionTally tally(thresholds);
    for (double fd : {0.0, 0.1, 0.2, 0.35, notFinite, 0.5, 0.9, std::numeric_limits<double>::infinity()}) tally.add(fd);
    EXPECT_EQ(tally.volumes(), 8);
    EXPECT_NEAR(tally.meanFd(), (0.1 + 0.2 + 0.35 + 0.5 + 0.9) / 5.0, 1e-12);
    EXPECT_EQ(tally.largestFd(), 0.9);
    EXPECT_EQ(tally.atOrBelow(0), 3);  // 0 (the first), 0.1, 0.2
    EXPECT_EQ(tally.above(0), 3);      // 0.35, 0.5, 0.9
    EXPECT_EQ(tally.atOrBelow(1), 5);
    EXPECT_EQ(tally.above(1), 1);
    EXPECT_EQ(tally.threshold(1), 0.5);
}

// Before a second volume there is no FD to sum: mean and largest are NaN,
// not 0; a first volume whose FD is not finite is no low-motion volume.
TEST(MotionTally, HasNoMeanBeforeTheSecondVolume) {
    korvanth::MotionTally first(thresholds), unknown(thresholds);
    first.add(0.0);
    unknown.add(notFinite);
    for (const korvanth::MotionTally* tally : {&first, &unknown})
        EXPECT_TRUE(std::isnan(tally->meanFd()) && std::isnan(tally->largestFd()) && tally->above(1) == 0);
    EXPECT_EQ(first.atOrBelow(0), 1);
    EXPECT_EQ(unknown.atOrBelow(1), 0);
}

// The time still missing toward the target, and the scanning it takes at the
// share of low-motion volumes so far; unknown while none was low-motion,
// nothing once the target is reached or passed (or is none).
TEST(LowMotionOutlook, ScalesTheMissingTimeByTheLowMotionShare) {
    struct Case {
        int64_t low, volumes;
        double collected, target, missing, scanning;
        bool known;
    };
    for (const Case& c : {Case{6, 8, 12.0, 30.0, 18.0, 24.0, true}, Case{8, 8, 16.0, 30.0, 14.0, 14.0, true},
                          Case{0, 5, 0.0, 30.0, 30.0, 0.0, false}, Case{0, 0, 0.0, 30.0, 30.0, 0.0, false},
                          Case{15, 20, 30.0, 30.0, 0.0, 0.0, true}, Case{20, 20, 40.0, 30.0, 0.0, 0.0, true},
                          Case{0, 0, 0.0, 0.0, 0.0, 0.0, true}}) {
        SCOPED_TRACE(std::to_string(c.low) + " of " + std::to_string(c.volumes) + ", " + std::to_string(c.collected) +
                     " s of " + std::to_string(c.target));
        const korvanth::LowMotionOutlook outlook = korvanth::lowMotionOutlook(c.low, c.volumes, c.collected, c.target);
        EXPECT_DOUBLE_EQ(outlook.missingSeconds, c.missing);
        EXPECT_DOUBLE_EQ(outlook.scanningSeconds, c.scanning);
        EXPECT_EQ(outlook.scanningKnown, c.known);
    }
}

}  // namespace
