// What Korvanth measures of each volume itself, beside the plug-in's maps:
// computed once per volume by the run loop and handed to every observer, so
// that the report, the live view and any other output show the same numbers.
#pragma once

#include "korvanth/run/motion_estimate.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace korvanth {

struct VolumeMetrics {
    // Framewise displacement from the volume before, in mm (0 for the first).
    double framewiseDisplacementMm = 0.0;
    // DVARS: the root mean square over the mask of the intensity change from
    // the volume before (NaN for the first).
    double dvars = std::numeric_limits<double>::quiet_NaN();
    // The mean intensity over the mask.
    double globalMean = std::numeric_limits<double>::quiet_NaN();
};

// FD: the sum of the absolute changes of the six estimates, the rotations
// (degrees) as arcs on a 50 mm sphere.
double framewiseDisplacement(const MotionEstimate& previous, const MotionEstimate& current);
// FD of each volume of a trace from the one before; 0 for the first.
std::vector<double> framewiseDisplacement(const std::vector<MotionEstimate>& motion);

// The two FD thresholds (mm) every output counts and draws against, the lower
// first: sorted once, where the command line is read, and taken as they are
// by the report, the live view and a session's record.
using FdThresholds = std::array<double, 2>;
constexpr FdThresholds defaultFdThresholds{0.2, 0.5};

// A run's framewise displacement summed up as it goes, against the two
// thresholds: the figures the report and the live view both show.
class MotionTally {
public:
    explicit MotionTally(const FdThresholds& thresholds) : thresholds_(thresholds) {}
    // The next volume's FD, from the first volume on (whose FD is 0).
    void add(double fdMm);

    int64_t volumes() const { return volumes_; }
    // Mean and largest FD over the volumes from the second on whose FD is
    // finite; NaN when there are none.
    double meanFd() const;
    double largestFd() const;
    // Volumes from the second on with FD above threshold k.
    int64_t above(int k) const { return above_[k]; }
    // Volumes (the first too) with FD at or below threshold k: the low-motion ones.
    int64_t atOrBelow(int k) const { return atOrBelow_[k]; }
    double threshold(int k) const { return thresholds_[k]; }

private:
    FdThresholds thresholds_;
    int64_t volumes_ = 0;
    int64_t counted_ = 0;  // volumes from the second on with a finite FD
    double sum_ = 0.0;
    double largest_ = 0.0;
    int64_t above_[2] = {0, 0};
    int64_t atOrBelow_[2] = {0, 0};
};

// The low-motion time wanted (--target-minutes) unless the command line says.
constexpr double defaultTargetMinutes = 5.0;

// Low-motion time toward a target: the time still missing, and the scanning
// that would take at the share of low-motion volumes so far (scanningKnown
// false while none was collected; 0 once the target is reached).
struct LowMotionOutlook {
    double missingSeconds = 0.0;
    double scanningSeconds = 0.0;
    bool scanningKnown = false;
};
LowMotionOutlook lowMotionOutlook(int64_t lowVolumes, int64_t volumes, double collectedSeconds, double targetSeconds);

// The metrics of a run's volumes, one after the other. The mask is the
// plug-in's: the voxels above 100 in the first volume (every voxel when none is).
class VolumeMetricsTracker {
public:
    // Starts a run of `voxels` voxels a volume.
    void begin(std::size_t voxels);
    // The metrics of the next volume; `previous` is the volume before it
    // (nullptr for the first), both of `voxels` intensities.
    VolumeMetrics next(const int16_t* volume, const int16_t* previous, const MotionEstimate& motion);

private:
    std::size_t voxels_ = 0;
    std::vector<std::size_t> mask_;  // voxels of the mask, in order
    MotionEstimate previousMotion_{};
    bool haveMotion_ = false;
};

}  // namespace korvanth
