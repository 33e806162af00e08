// Driving a plug-in through a run, volume by volume, as the host does during
// an acquisition.
#pragma once

#include "korvanth/run/motion_source.h"
#include "korvanth/run/run_observer.h"
#include "korvanth/run/volume_source.h"
#include "tarvex/krv_plugin_interface.h"

#include <cstdint>
#include <string>

namespace korvanth {

struct RunSettings {
    std::string targetFolder;  // with trailing separator; the motion log goes here
    std::string projectName = "synthetic";
};

struct RunOutcome {
    int32_t volumeCount = 0;
    int32_t refusedSteps = 0;  // operations that returned false
    bool partial = false;      // the run ended before its source did: a stop request or a source failure
    std::string endReason;     // why, for a partial run
    std::string motionLogPath;
    bool motionLogWritten = true;  // false: the log could not be created or a line not written
    int64_t changedValues = 0;     // the source's VolumeSource::changedValues() at the end
};

// Sizes the host for `series` (from the opened source), then runs
// executePreRun and, per volume:
// take it from the source into the host's time course, estimate its motion,
// append its motion line (from the second volume on), executePreStep,
// executePostStep, tell the observers; then executePostRun. A stop request
// ends the run after the volume in hand. `source` is open and `motion` has
// begun on `series`.
RunOutcome driveRun(KRVPluginInterface& plugin, const SeriesInfo& series, VolumeSource& source, MotionSource& motion,
                    RunObserver& observer, const RunSettings& settings);

}  // namespace korvanth
