// Where the run's volumes come from: a recorded series, the synthetic
// phantom, a folder the scanner writes to.
#pragma once

#include "korvanth/run/arrival_timeline.h"
#include "korvanth/run/series.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace korvanth {

// When a live source's last volume became available: the last write of its
// files (a volume of several files or instances is complete with the last of
// them), when the source saw it complete and when it had read it; where it
// stands on the series' arrival timeline; whether it was read ahead, before
// the run began, so that its wait was the look-ahead's and not the host's.
struct VolumeArrival {
    bool known = false;  // false: not a live source's file
    std::chrono::steady_clock::time_point completed;
    std::chrono::steady_clock::time_point detected;
    std::chrono::steady_clock::time_point read;
    TimelinePoint timeline;
    bool readAhead = false;
};

class VolumeSource {
public:
    enum class Next { Volume, EndOfRun, Failed };

    virtual ~VolumeSource() = default;

    // Blocks until the series is known (a live source: until its first volume
    // has arrived). False with `error` naming the input and the problem.
    virtual bool open(SeriesInfo& series, std::string& error) = 0;

    // Blocks until the next volume is complete and moves it into `volume`
    // (series.voxelCount() intensities, x fastest). EndOfRun: no more will
    // come, or a stop was requested (runStopRequested()). Failed: `error`
    // says why; the run ends with the volumes before it.
    virtual Next next(std::vector<int16_t>& volume, std::string& error) = 0;

    // The arrival of the volume last handed over by next(), where known.
    virtual VolumeArrival lastArrival() const { return {}; }

    // How many stored values of the volumes handed over so far were changed
    // to fit the run's 16-bit volumes: rounded to an integer, clamped to
    // [-32768, 32767], or not finite and read as 0.
    virtual int64_t changedValues() const { return 0; }
};

// The sentence that says `count` changed values (VolumeSource::changedValues)
// wherever a run's outputs say it.
std::string changedValuesNote(int64_t count);

// A stop asked for from outside the run (a signal handler, another thread).
// Sources that wait poll it; the run loop ends after the volume in hand.
// Both are safe to call from a signal handler.
void requestRunStop();
bool runStopRequested();
void clearRunStopRequest();

}  // namespace korvanth
