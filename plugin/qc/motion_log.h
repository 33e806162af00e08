// Reading the head-motion estimates of one step from the host's motion log.
#pragma once

#include "tarvex/qc_conventions.h"

#include <array>
#include <cstdint>
#include <string>

namespace tarvex {

// Translation x, y, z and rotation x, y, z, in the units the host writes.
using MotionParameterRow = std::array<float, motionParameterCount>;

struct MotionLogReading {
    MotionParameterRow values{};  // zeros unless a line was parsed
    // Empty when the line was parsed cleanly or there was nothing to parse
    // (no file, file too short: both are normal early in a run). Otherwise one
    // line for the host log saying what was wrong; the values concerned are 0.
    std::string problem;
};

// The six values of step `step` from "<targetFolder><projectName>_3DMC.log":
// line step + 3 (or the first non-empty line after it), keys "dx:", "dy:",
// "dz:", "rx:", "ry:", "rz:", each value read from the 8 characters after its
// key. Steps below 2 read nothing. At step 3 the three header lines are also
// passed to the host log (empty texts when the file is missing) unless
// `echoHeader` is false. The file is opened, read and closed within the call;
// nothing is kept between calls.
MotionLogReading readMotionParameters(const char* targetFolder, const char* projectName, int32_t step,
                                      bool echoHeader = true);

}  // namespace tarvex
