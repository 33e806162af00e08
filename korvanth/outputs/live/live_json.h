// The JSON the live view sends: the data of its run, volume, log and end
// events, and /api/state (the run's record as one document).
#pragma once

#include "korvanth/outputs/live/event_broker.h"
#include "korvanth/run/run_observer.h"
#include "korvanth/run/series.h"
#include "korvanth/run/volume_metrics.h"

#include <cstdint>
#include <string>
#include <vector>

namespace korvanth {

// What the page is served with, so that it has them before any run: the FD
// thresholds (mm) it draws and counts against, the low-motion target, and how
// many maps the plug-in makes.
std::string pageSettingsJson(const FdThresholds& fdThresholds, double targetMinutes);
// The run event: the series, and the FD thresholds (mm) and target it is counted against.
std::string runEventJson(const SeriesInfo& series, const FdThresholds& fdThresholds, double targetMinutes);
// What the page shows of the run so far besides each volume's own figures,
// worked out here so that the page does no QC arithmetic of its own.
struct LiveFigures {
    const MotionTally* motion = nullptr;  // the run's FD up to this volume
    double repetitionTimeSeconds = 0.0;
    double targetMinutes = defaultTargetMinutes;  // low-motion time wanted
};

// A volume event: its motion (as the motion log has it), metrics and timings,
// and the run's FD figures so far: mean, largest, volumes above each threshold,
// and per threshold the low-motion time collected and still missing.
std::string volumeEventJson(const VolumeDone& volume, const LiveFigures& figures);
std::string logEventJson(const std::string& line);
// The end event, with the medians of DVARS and of the step latency, the
// largest latency and the steps slower than the TR; `reportPath` empty when
// there is no report.
std::string endEventJson(const RunFinished& run, double elapsedSeconds, const std::string& reportPath,
                         const std::vector<double>& dvars, const std::vector<double>& latencyMs,
                         double repetitionTimeSeconds);
// /api/state: the record, and the volume the maps on offer are from (-1: none).
std::string stateJson(const RunRecord& record, int32_t mapsVolume);

}  // namespace korvanth
