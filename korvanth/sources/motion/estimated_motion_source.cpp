#include "korvanth/sources/motion/estimated_motion_source.h"

#include "korvanth/run/units.h"

#include <cstdio>

namespace korvanth {

namespace {
// Which slice the fit set aside and why, for a user to look at in the volume.
std::string setAsideText(const RigidRegistration::Result& fit) {
    char weight[16];
    std::snprintf(weight, sizeof weight, "%.2f", fit.leastKeptSliceWeight);
    return "the fit set aside slice " + std::to_string(fit.leastKeptSlice + 1) + " (weight " + weight +
           "), whose signal does not fit the rest of the head (a dropout or a spike?)";
}
}  // namespace

MotionEstimate hostUnitsFromRigid(const RigidParameters& p) {
    return {p[0], p[1], p[2], p[3] * degreesPerRadian, p[4] * degreesPerRadian, p[5] * degreesPerRadian};
}

RigidParameters rigidFromHostUnits(const MotionEstimate& m) {
    return {m[0], m[1], m[2], radiansFromDegrees(m[3]), radiansFromDegrees(m[4]), radiansFromDegrees(m[5])};
}

bool EstimatedMotionSource::begin(const SeriesInfo& series, std::string& error) {
    series_ = series;
    estimator_.reset();
    lastGood_ = RigidTransform{};
    lastGoodEstimate_ = MotionEstimate{};
    if (referenceVolume_ < 0 || (series.expectedVolumes > 0 && referenceVolume_ >= series.expectedVolumes)) {
        error = "the reference volume " + std::to_string(referenceVolume_ + 1) + " is not in a run of " +
                std::to_string(series.expectedVolumes) + " volumes";
        return false;
    }
    return true;
}

MotionResult EstimatedMotionSource::estimate(int32_t index, const int16_t* const* timeCourse) {
    MotionResult result;
    if (index < referenceVolume_) {
        result.reliable = false;
        if (index == 0)
            result.warning = "volumes 1 to " + std::to_string(referenceVolume_) + " come before the reference volume " +
                             std::to_string(referenceVolume_ + 1) + ": their motion is logged as zeros";
        return result;
    }
    if (index == referenceVolume_ || !estimator_) {
        double matrix[3][4];
        voxelToWorld(series_.geometry, matrix);
        estimator_ = std::make_unique<RigidRegistration>(timeCourse[index], series_.dims, matrix, settings_);
        lastGood_ = RigidTransform{};
        lastGoodEstimate_ = MotionEstimate{};
        return result;
    }
    const RigidRegistration::Result fit = estimator_->estimate(timeCourse[index], lastGood_);
    if (fit.status == RigidRegistration::Status::Converged) {
        lastGood_ = fit.transform;
        lastGoodEstimate_ = hostUnitsFromRigid(fit.parameters);
        if (fit.heavilyDownweighted(settings_)) {
            result.reliable = false;
            result.warning = "volume " + std::to_string(index + 1) + ": " + setAsideText(fit) +
                             "; the estimate from the other slices is logged";
        }
    } else {
        result.reliable = false;
        result.warning = "volume " + std::to_string(index + 1) + ": no motion estimate (" + statusText(fit.status) +
                         "); the last good estimate is logged";
    }
    result.estimate = lastGoodEstimate_;
    return result;
}

}  // namespace korvanth
