// When a live run's volumes left the scanner and when they reached the host.
// The scanner stamps each image with its acquisition time on its own clock;
// the host knows when the volume's last file or instance was complete on
// its clock. The two clocks need not agree: every figure is counted from the
// run's first timed volume, so an offset between them cancels. The export
// lag of volume i is (host_i - host_0) - (scan_i - scan_0): how much later
// than the first volume it came, beyond the acquisitions' own spacing.
#pragma once

#include <chrono>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace korvanth {

// One volume on the timeline; `timed` false where the input records no
// acquisition time (NIfTI), and then no figure of it is made up.
struct TimelinePoint {
    bool timed = false;
    double scanSeconds = 0.0;  // acquired, from the first timed volume's acquisition
    double hostSeconds = 0.0;  // complete on the host, from the first timed volume's
    double lagSeconds = 0.0;   // hostSeconds - scanSeconds
    // Arrived more than a TR later than the timed volume before it
    // (lagSeconds - that volume's lag > TR): the export stalled on it.
    bool late = false;
    double lateBySeconds = 0.0;  // lagSeconds - the timed volume before it's, when late
    // Stamped no later than the volume before it (a whole series stamped
    // once, a label and control pair alike): the times do not tell the
    // volumes apart, and the series has no timeline from here on.
    bool repeatsTime = false;
};

// The timeline of one series, volume by volume in the run's order.
class ArrivalTimeline {
public:
    // A new series of the given TR (seconds; 0: none known, nothing is late).
    void begin(double repetitionTimeSeconds);
    // The next volume: its acquisition time on the scanner's clock (seconds;
    // negative: not recorded) and when it was complete on the host.
    TimelinePoint add(double acquisitionSeconds, std::chrono::steady_clock::time_point complete);

private:
    double tr_ = 0.0;
    bool started_ = false;
    double scan0_ = 0.0;
    std::chrono::steady_clock::time_point host0_{};
    double lastLag_ = 0.0;
    double lastScan_ = 0.0;
    bool repeated_ = false;
};

// A run's timeline summed up over its timed volumes.
struct TimelineSummary {
    int32_t timedVolumes = 0;
    double medianLagSeconds = std::numeric_limits<double>::quiet_NaN();
    double largestLagSeconds = std::numeric_limits<double>::quiet_NaN();
    double jitterSeconds = std::numeric_limits<double>::quiet_NaN();  // the lag's spread: largest minus smallest
    std::vector<int32_t> lateVolumes;                                 // numbered from 1
    int32_t repeatedAt = 0;  // the volume (from 1) stamped no later than the one before; 0: none was
};
// No figures where the times do not tell the volumes apart (repeatedAt).
TimelineSummary summariseTimeline(const std::vector<TimelinePoint>& points);
// Why a run of live volumes has no timeline: none recorded, or not telling
// the volumes apart; empty when it has one.
std::string timelineAbsence(const TimelineSummary& timeline);

}  // namespace korvanth
