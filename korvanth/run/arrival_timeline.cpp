#include "korvanth/run/arrival_timeline.h"

#include "korvanth/run/clock.h"
#include "korvanth/run/statistics.h"

#include <algorithm>

namespace korvanth {

void ArrivalTimeline::begin(double repetitionTimeSeconds) {
    tr_ = repetitionTimeSeconds;
    started_ = repeated_ = false;
}

TimelinePoint ArrivalTimeline::add(double acquisitionSeconds, std::chrono::steady_clock::time_point complete) {
    TimelinePoint p;
    if (acquisitionSeconds < 0.0 || repeated_) return p;
    const bool first = !started_;
    if (first) {
        started_ = true;
        scan0_ = acquisitionSeconds;
        host0_ = complete;
        lastLag_ = lastScan_ = 0.0;
    }
    constexpr double day = 86400.0;
    p.timed = true;
    p.scanSeconds = acquisitionSeconds - scan0_;
    // A time of day without its date: a run past midnight goes on counting.
    if (p.scanSeconds < -day / 2.0) p.scanSeconds += day;
    if (!first && !(p.scanSeconds > lastScan_)) {
        repeated_ = true;
        TimelinePoint repeats;
        repeats.repeatsTime = true;
        return repeats;
    }
    lastScan_ = p.scanSeconds;
    p.hostSeconds = secondsBetween(host0_, complete);
    p.lagSeconds = p.hostSeconds - p.scanSeconds;
    p.late = tr_ > 0.0 && p.lagSeconds - lastLag_ > tr_;
    if (p.late) p.lateBySeconds = p.lagSeconds - lastLag_;
    lastLag_ = p.lagSeconds;
    return p;
}

TimelineSummary summariseTimeline(const std::vector<TimelinePoint>& points) {
    TimelineSummary s;
    std::vector<double> lags;
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (points[i].repeatsTime) {
            TimelineSummary none;
            none.repeatedAt = static_cast<int32_t>(i + 1);
            return none;
        }
        if (!points[i].timed) continue;
        lags.push_back(points[i].lagSeconds);
        if (points[i].late) s.lateVolumes.push_back(static_cast<int32_t>(i + 1));
    }
    s.timedVolumes = static_cast<int32_t>(lags.size());
    if (lags.empty()) return s;
    const auto [smallest, largest] = std::minmax_element(lags.begin(), lags.end());
    s.largestLagSeconds = *largest;
    s.jitterSeconds = *largest - *smallest;
    s.medianLagSeconds = median(lags);
    return s;
}

}  // namespace korvanth

namespace korvanth {

std::string timelineAbsence(const TimelineSummary& timeline) {
    if (timeline.repeatedAt > 0)
        return "the acquisition times do not tell the volumes apart: volume " + std::to_string(timeline.repeatedAt) +
               " is stamped no later than the volume before it";
    if (timeline.timedVolumes == 0) return "the input records no acquisition times";
    return {};
}

}  // namespace korvanth
