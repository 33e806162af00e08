#include "korvanth/app/run_summary.h"

#include "korvanth/host/host_state.h"
#include "korvanth/run/statistics.h"

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
    std::vector<double> latency;
    for (const VolumeTiming& t : timings)
        if (t.fromFile) latency.push_back(t.latencySeconds * 1000.0);
    if (latency.empty()) return;
    const double middle = median(latency);
    const double p95 = nearestRankPercentile(latency, 0.95);
    const double trMs = repetitionTimeSeconds * 1000.0;
    std::printf(
        "Latency from file written to maps: median %.1f ms (%.1f%% of the TR), 95th percentile %.1f ms (%.1f%%)\n",
        middle, 100.0 * middle / trMs, p95, 100.0 * p95 / trMs);
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
