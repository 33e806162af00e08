#include "korvanth/run/volume_metrics.h"

#include "korvanth/run/units.h"
#include "tarvex/qc_conventions.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace korvanth {

double framewiseDisplacement(const MotionEstimate& previous, const MotionEstimate& current) {
    const double mmPerDegree = radiansFromDegrees(1.0) * 50.0;
    double sum = 0.0;
    for (int k = 0; k < 6; ++k) {
        const double change = std::fabs(current[k] - previous[k]);
        sum += k < 3 ? change : change * mmPerDegree;
    }
    return sum;
}

std::vector<double> framewiseDisplacement(const std::vector<MotionEstimate>& motion) {
    std::vector<double> fd(motion.size(), 0.0);
    for (std::size_t i = 1; i < motion.size(); ++i) fd[i] = framewiseDisplacement(motion[i - 1], motion[i]);
    return fd;
}

LowMotionOutlook lowMotionOutlook(int64_t lowVolumes, int64_t volumes, double collectedSeconds, double targetSeconds) {
    LowMotionOutlook outlook;
    outlook.missingSeconds = std::max(0.0, targetSeconds - collectedSeconds);
    const double share = volumes > 0 ? static_cast<double>(lowVolumes) / static_cast<double>(volumes) : 0.0;
    outlook.scanningKnown = outlook.missingSeconds == 0.0 || share > 0.0;
    if (outlook.missingSeconds > 0.0 && share > 0.0) outlook.scanningSeconds = outlook.missingSeconds / share;
    return outlook;
}

void MotionTally::add(double fdMm) {
    const bool first = volumes_++ == 0;
    if (!std::isfinite(fdMm)) return;
    for (int k = 0; k < 2; ++k) atOrBelow_[k] += fdMm <= thresholds_[k];
    if (first) return;
    sum_ += fdMm;
    largest_ = counted_++ == 0 ? fdMm : std::max(largest_, fdMm);
    for (int k = 0; k < 2; ++k) above_[k] += fdMm > thresholds_[k];
}

double MotionTally::meanFd() const {
    return counted_ > 0 ? sum_ / static_cast<double>(counted_) : std::numeric_limits<double>::quiet_NaN();
}

double MotionTally::largestFd() const { return counted_ > 0 ? largest_ : std::numeric_limits<double>::quiet_NaN(); }

void VolumeMetricsTracker::begin(std::size_t voxels) {
    voxels_ = voxels;
    mask_.clear();
    haveMotion_ = false;
}

VolumeMetrics VolumeMetricsTracker::next(const int16_t* volume, const int16_t* previous, const MotionEstimate& motion) {
    VolumeMetrics metrics;
    if (volume != nullptr && voxels_ > 0) {
        if (mask_.empty()) {
            for (std::size_t i = 0; i < voxels_; ++i)
                if (volume[i] > tarvex::maskThreshold) mask_.push_back(i);
            if (mask_.empty())
                for (std::size_t i = 0; i < voxels_; ++i) mask_.push_back(i);
        }
        double sum = 0.0;
        for (std::size_t i : mask_) sum += volume[i];
        metrics.globalMean = sum / static_cast<double>(mask_.size());
        if (previous != nullptr) {
            double squares = 0.0;
            for (std::size_t i : mask_) {
                const double change = static_cast<double>(volume[i]) - previous[i];
                squares += change * change;
            }
            metrics.dvars = std::sqrt(squares / static_cast<double>(mask_.size()));
        }
    }
    metrics.framewiseDisplacementMm = haveMotion_ ? framewiseDisplacement(previousMotion_, motion) : 0.0;
    previousMotion_ = motion;
    haveMotion_ = true;
    return metrics;
}

}  // namespace korvanth
