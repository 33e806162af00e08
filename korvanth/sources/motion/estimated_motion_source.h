// The host's own motion estimates as a motion source: each volume registered
// to the reference volume as it arrives, in the host's units.
#pragma once

#include "korvanth/run/motion_source.h"
#include "korvanth/sources/motion/rigid_registration.h"

#include <memory>
#include <string>

namespace korvanth {

// The reference is volume `referenceVolume` (from 0). A live run cannot look
// ahead, so volumes that arrive before the reference have no estimate when
// they are logged: they get zeros, flagged unreliable, and the run is warned
// once. Their estimates are not filled in afterwards, so that the motion log,
// the rp file and the report always agree with what the plug-in was given.
//
// A volume the estimator cannot register (blank, no overlap, diverged, also
// when tried again from the reference's place and the head's centre) gets
// the last good estimate, flagged unreliable, with a warning naming the
// volume and the cause; the next volume starts from that last good estimate.
// A volume whose fit had to set a slice aside (a signal dropout, a spike)
// keeps its own estimate, from the other slices, flagged with a warning
// naming the slice.
class EstimatedMotionSource final : public MotionSource {
public:
    explicit EstimatedMotionSource(int32_t referenceVolume = 0, const RigidRegistrationSettings& settings = {})
        : referenceVolume_(referenceVolume), settings_(settings) {}

    // Fails when the reference lies beyond the run's announced length.
    bool begin(const SeriesInfo& series, std::string& error) override;
    // mm and degrees: dx, dy, dz = x, y, z; rx, ry, rz = pitch, roll, yaw.
    MotionResult estimate(int32_t index, const int16_t* const* timeCourse) override;

private:
    int32_t referenceVolume_;
    RigidRegistrationSettings settings_;
    SeriesInfo series_;
    std::unique_ptr<RigidRegistration> estimator_;
    RigidTransform lastGood_;
    MotionEstimate lastGoodEstimate_{};
};

// The host's units (mm, degrees) from SPM parameters (mm, radians), and back.
MotionEstimate hostUnitsFromRigid(const RigidParameters& parameters);
RigidParameters rigidFromHostUnits(const MotionEstimate& estimate);

}  // namespace korvanth
