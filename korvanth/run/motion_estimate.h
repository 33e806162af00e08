// One volume's head motion as the host hands it to plug-ins.
#pragma once

#include <array>

namespace korvanth {

// Translations x, y, z in mm, rotations about x, y, z in degrees, relative to
// the run's reference volume: the units of the host's motion log.
using MotionEstimate = std::array<double, 6>;

}  // namespace korvanth
