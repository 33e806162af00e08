// A live run's latency from each volume complete on the host until its maps,
// summed up once for the terminal, the report, the live view and the run's
// JSON. The volumes a session reads ahead before the run begins (to tell a
// run from a single volume) waited for the look-ahead, not for the host:
// they are counted apart, never in the host's figures.
#pragma once

#include "korvanth/run/run_observer.h"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace korvanth {

struct LiveLatency {
    int32_t volumes = 0;  // live volumes after the look-ahead: the host's figures
    double medianSeconds = std::numeric_limits<double>::quiet_NaN();
    double p95Seconds = std::numeric_limits<double>::quiet_NaN();
    int32_t readAhead = 0;  // volumes read ahead
    double readAheadMedianSeconds = std::numeric_limits<double>::quiet_NaN();
};

LiveLatency summariseLatency(const std::vector<VolumeTiming>& timings);

// The arrival timeline of `timings`, volume by volume.
std::vector<TimelinePoint> timelineOf(const std::vector<VolumeTiming>& timings);

// The latency as one line: "arrival to maps: median X ms (Y % of the TR)
// over N volumes", the read-ahead volumes said apart; empty when no volume
// was live.
std::string latencyLine(const LiveLatency& latency, double repetitionTimeSeconds);
// The timeline as one line: the export lag's median, spread and largest, the
// late volumes named; where no volume was timed, that the input records no
// acquisition times. Empty when no volume was live.
std::string timelineLine(const TimelineSummary& timeline, int32_t liveVolumes);

}  // namespace korvanth
