// The JSON the live view sends: the data of its run, volume, log and end
// events, and /api/state (the run's record as one document).
#pragma once

#include "korvanth/outputs/event_broker.h"
#include "korvanth/run/run_observer.h"
#include "korvanth/run/series.h"

#include <cstdint>
#include <string>

namespace korvanth {

// The run event: the series, and the page's FD thresholds (mm) and target.
std::string runEventJson(const SeriesInfo& series, const double fdThresholds[2], double targetMinutes);
// A volume event: its motion (as the motion log has it), metrics and timings.
std::string volumeEventJson(const VolumeDone& volume);
std::string logEventJson(const std::string& line);
// The end event; `reportPath` empty when there is no report.
std::string endEventJson(const RunFinished& run, double elapsedSeconds, const std::string& reportPath);
// /api/state: the record, and the volume the maps on offer are from (-1: none).
std::string stateJson(const RunRecord& record, int32_t mapsVolume);

}  // namespace korvanth
