// A run's figures as a study compares them: what the participant level writes
// per run (<run>/figures.json) and the group level gathers into one table.
// The keys, their meaning and the community name beside a key where the
// measure is the same are held here once; the README documents them.
#pragma once

#include "korvanth/outputs/json_text.h"
#include "korvanth/run/run_observer.h"
#include "korvanth/run/volume_metrics.h"

#include <cstdint>
#include <string>
#include <vector>

namespace korvanth {

// One figure of a run: its key, the same value under a community name (empty
// where no community measure is the same), what it is, and whether the
// study's page shows its distribution (not for a setting such as a threshold).
struct FigureKey {
    const char* key;
    const char* communityAlias;
    const char* meaning;
    bool distributed;
};

// Every figure, in the order of figures.json and of the group table's columns.
const std::vector<FigureKey>& runFigureKeys();

// Follows a run and sums it up into its figures: a run observer beside the
// run's others. begin() before each run.
class RunFigures final : public RunObserver {
public:
    void begin(const FdThresholds& thresholds);
    void runStarted(const SeriesInfo& series) override;
    void volumeDone(const VolumeDone& volume) override;
    void runFinished(const RunFinished& run) override;

    // The figures, keyed by runFigureKeys() (aliases too); NaN figures are null.
    Json figures() const;

private:
    FdThresholds thresholds_ = defaultFdThresholds;
    MotionTally tally_{defaultFdThresholds};
    double repetitionTime_ = 0.0;
    int32_t dims_[3] = {0, 0, 0};
    std::vector<float> firstVolume_;
    std::vector<double> dvars_, globalMean_;
    int64_t motionFlagged_ = 0;
    double tsnr_ = 0.0;
    bool partial_ = false;
};

// The drift of a signal over the run: the least-squares line's change from
// the first to the last value, in percent of the signal's mean; NaN for
// fewer than two finite values or a zero mean.
double driftPercent(const std::vector<double>& values);

}  // namespace korvanth
