#include "korvanth/run/live_latency.h"

#include "korvanth/run/statistics.h"

#include <cstdio>

namespace korvanth {

LiveLatency summariseLatency(const std::vector<VolumeTiming>& timings) {
    std::vector<double> host, ahead;
    for (const VolumeTiming& t : timings)
        if (t.fromFile) (t.readAhead ? ahead : host).push_back(t.latencySeconds);
    LiveLatency l;
    l.volumes = static_cast<int32_t>(host.size());
    l.readAhead = static_cast<int32_t>(ahead.size());
    l.medianSeconds = median(host);
    l.p95Seconds = nearestRankPercentile(host, 0.95);
    l.readAheadMedianSeconds = median(ahead);
    return l;
}

std::vector<TimelinePoint> timelineOf(const std::vector<VolumeTiming>& timings) {
    std::vector<TimelinePoint> points;
    points.reserve(timings.size());
    for (const VolumeTiming& t : timings) points.push_back(t.timeline);
    return points;
}

namespace {
std::string format(const char* pattern, double a, double b = 0.0, double c = 0.0, double d = 0.0) {
    char line[256];
    std::snprintf(line, sizeof line, pattern, a, b, c, d);
    return line;
}
}  // namespace

std::string latencyLine(const LiveLatency& l, double repetitionTimeSeconds) {
    if (l.volumes + l.readAhead == 0) return {};
    const double tr = repetitionTimeSeconds > 0.0 ? repetitionTimeSeconds : std::numeric_limits<double>::quiet_NaN();
    std::string line = "Arrival to maps: ";
    if (l.volumes > 0)
        line += format("median %.1f ms (%.1f%% of the TR), 95th percentile %.1f ms (%.1f%%)", l.medianSeconds * 1e3,
                       100.0 * l.medianSeconds / tr, l.p95Seconds * 1e3, 100.0 * l.p95Seconds / tr) +
                " over " + std::to_string(l.volumes) + " volumes";
    else
        line += "no volume came after the look-ahead";
    if (l.readAhead > 0)
        line += "; " + std::to_string(l.readAhead) + " volumes were read ahead before the run began" +
                format(" (median %.1f ms): their wait is not the host's", l.readAheadMedianSeconds * 1e3);
    return line;
}

std::string timelineLine(const TimelineSummary& t, int32_t liveVolumes) {
    if (liveVolumes == 0) return {};
    if (t.timedVolumes == 0) return "Arrival timeline: none (" + timelineAbsence(t) + ")";
    std::string line = "Arrival timeline over " + std::to_string(t.timedVolumes) +
                       format(" volumes: export lag median %.1f ms, largest %.1f ms, jitter (spread) %.1f ms",
                              t.medianLagSeconds * 1e3, t.largestLagSeconds * 1e3, t.jitterSeconds * 1e3);
    if (t.lateVolumes.empty()) return line + "; no volume came more than a TR late";
    line += "; more than a TR late: volume";
    line += t.lateVolumes.size() > 1 ? "s" : "";
    for (std::size_t i = 0; i < t.lateVolumes.size(); ++i)
        line += (i == 0 ? " " : ", ") + std::to_string(t.lateVolumes[i]);
    return line;
}

}  // namespace korvanth
