// The lines Korvanth prints when a run is over: steps slower than the TR,
// a live run's latencies, what was written, and a partial run's count.
#pragma once

#include "korvanth/run/run_loop.h"
#include "korvanth/run/run_observer.h"
#include "korvanth/run/series.h"

#include <string>
#include <vector>

namespace korvanth {

// Warns on standard error when steps took longer than the TR; returns the
// slowest step in seconds (0 when there were none).
double warnOfSlowSteps(const std::vector<double>& stepSeconds, double repetitionTimeSeconds);

// A live run's latency (arrival to maps, the volumes read ahead apart) and
// its arrival timeline, a line each. Nothing when no volume came from a file.
void printLatency(const std::vector<VolumeTiming>& timings, double repetitionTimeSeconds);

// The committed results: the files written, a partial run's count, the report.
void printCommittedRun(const std::string& outFolder, const std::vector<std::string>& written, double slowestSeconds,
                       const RunOutcome& outcome, int32_t expectedVolumes);

}  // namespace korvanth
