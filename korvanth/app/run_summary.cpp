#include "korvanth/app/run_summary.h"

#include "korvanth/host/host_state.h"
#include "korvanth/run/live_latency.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>

namespace fs = std::filesystem;

namespace korvanth {

double warnOfSlowSteps(const std::vector<double>& stepSeconds, double repetitionTimeSeconds) {
    const auto slow =
        std::count_if(stepSeconds.begin(), stepSeconds.end(), [&](double s) { return s > repetitionTimeSeconds; });
    const double slowest = stepSeconds.empty() ? 0.0 : *std::max_element(stepSeconds.begin(), stepSeconds.end());
    if (slow > 0)
        std::cerr << "warning: " << slow << " of " << stepSeconds.size() << " steps took longer than the TR of "
                  << repetitionTimeSeconds << " s (slowest " << slowest << " s): the plug-in would fall behind\n";
    return slowest;
}

void printLatency(const std::vector<VolumeTiming>& timings, double repetitionTimeSeconds) {
    const LiveLatency latency = summariseLatency(timings);
    const std::string line = latencyLine(latency, repetitionTimeSeconds);
    if (line.empty()) return;
    std::cout << line << '\n'
              << timelineLine(summariseTimeline(timelineOf(timings)), latency.volumes + latency.readAhead) << '\n';
}

void printCommittedRun(const std::string& outFolder, const std::vector<std::string>& written, double slowestSeconds,
                       const RunOutcome& outcome, int32_t expectedVolumes) {
    const HostState& state = host();
    std::cout << "Wrote the results into " << outFolder << " (" << state.mapCount() << " maps of " << state.voxelCount()
              << " voxels; slowest step " << slowestSeconds * 1000.0 << " ms):";
    for (const std::string& name : written) std::cout << ' ' << name;
    std::cout << '\n';
    if (outcome.partial)
        std::cout << "Partial run: " << outcome.volumeCount << " of "
                  << (expectedVolumes > 0 ? std::to_string(expectedVolumes) : std::string("?")) << " volumes ("
                  << outcome.endReason << ")\n";
    if (outcome.changedValues > 0) std::cout << "Warning: " << changedValuesNote(outcome.changedValues) << '\n';
    if (std::find(written.begin(), written.end(), "report.html") != written.end())
        std::cout << "Report: " << (fs::absolute(outFolder) / "report.html").string() << '\n';
}

}  // namespace korvanth
