// What the run tells whoever follows it: the terminal, the output writer,
// the live view. Observers are called on the run's thread, in order; they must
// return quickly (a slow consumer keeps its own queue) and may not keep the
// pointers they are handed beyond the call.
#pragma once

#include "korvanth/run/arrival_timeline.h"
#include "korvanth/run/motion_estimate.h"
#include "korvanth/run/series.h"
#include "korvanth/run/volume_metrics.h"

#include <cstdint>
#include <string>
#include <vector>

namespace korvanth {

struct HostState;

// Seconds of one volume's handling, measured by the run loop.
struct VolumeTiming {
    double arrivalSeconds = 0.0;  // when the source handed it over, from the start of the run
    double sourceSeconds = 0.0;   // waiting for and reading it
    double motionSeconds = 0.0;   // its motion estimate
    double stepSeconds = 0.0;     // executePreStep + executePostStep
    // A live source's volume (fromFile): from its file's last write until the
    // source saw the file complete, and reading it.
    bool fromFile = false;
    double detectionSeconds = 0.0;
    double readingSeconds = 0.0;
    bool readAhead = false;  // read before the run began (VolumeArrival::readAhead)
    TimelinePoint timeline;  // a DICOM volume's acquisition against its arrival
    // fromFile: from the volume complete on the host until its maps were
    // made (known to the observers' volumeDone; latencySeconds adds their time).
    double mapsSeconds = 0.0;
    // Known once the observers had the volume (in RunFinished::timings):
    double outputsSeconds = 0.0;  // the observers' volumeDone
    double latencySeconds = 0.0;  // fromFile: from the file's last write until the observers had the maps
};

struct VolumeDone {
    int32_t index = 0;        // from 0
    MotionEstimate motion{};  // as written to the motion log: mm, degrees
    bool motionReliable = true;
    std::string motionWarning;  // why the estimate is not reliable; empty otherwise
    VolumeMetrics metrics;      // FD, DVARS, global mean
    VolumeTiming timing;
    const int16_t* volume = nullptr;  // this volume's intensities
    const float* maps = nullptr;      // the plug-in maps after this step, map after map
    int32_t mapCount = 0;
    const std::vector<std::string>* mapNames = nullptr;  // as the plug-in registered them (may be fewer)
};

struct RunFinished {
    int32_t volumeCount = 0;            // volumes fed to the plug-in
    bool partial = false;               // ended by a stop request or a source failure
    std::string endReason;              // empty for a run that came to its end
    int32_t refusedSteps = 0;           // plug-in operations that returned false
    int64_t changedValues = 0;          // VolumeSource::changedValues() at the end
    const HostState* host = nullptr;    // the host's state at the end: volumes, maps, log
    std::vector<VolumeTiming> timings;  // of every volume fed, complete
};

class RunObserver {
public:
    virtual ~RunObserver() = default;
    virtual void runStarted(const SeriesInfo& /*series*/) {}
    virtual void volumeDone(const VolumeDone& /*volume*/) {}
    virtual void hostLogLine(const std::string& /*line*/) {}
    virtual void runFinished(const RunFinished& /*run*/) {}
};

// Passes every event to each of its observers in the order they were added.
class ObserverList final : public RunObserver {
public:
    void add(RunObserver& observer) { observers_.push_back(&observer); }
    void runStarted(const SeriesInfo& series) override;
    void volumeDone(const VolumeDone& volume) override;
    void hostLogLine(const std::string& line) override;
    void runFinished(const RunFinished& run) override;

private:
    std::vector<RunObserver*> observers_;
};

}  // namespace korvanth
