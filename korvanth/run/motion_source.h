// Where each volume's motion estimate comes from: a file made by a
// motion-correction tool, the phantom's known trace, zeros, or the host's own
// estimator.
#pragma once

#include "korvanth/run/motion_estimate.h"
#include "korvanth/run/series.h"

#include <cstdint>
#include <string>

namespace korvanth {

struct MotionResult {
    MotionEstimate estimate{};  // mm and degrees, relative to the reference volume
    bool reliable = true;       // false: a fallback (e.g. the last good estimate) or a doubtful fit
    std::string warning;        // why it is not reliable; empty otherwise
};

class MotionSource {
public:
    virtual ~MotionSource() = default;

    // Called once before the first volume. False with `error` when the source
    // cannot serve this series (e.g. a file with too few rows).
    virtual bool begin(const SeriesInfo& series, std::string& error) = 0;

    // The estimate of volume `index` (from 0), called once per volume, in
    // order, after the volume joined the host's time course and before the
    // plug-in's step. `timeCourse[0..index]` are the volumes so far (valid
    // for the call); a source may use them but never a later one.
    virtual MotionResult estimate(int32_t index, const int16_t* const* timeCourse) = 0;
};

}  // namespace korvanth
