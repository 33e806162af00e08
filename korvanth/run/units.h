// Angle units of the stand-in host: motion files and trigonometry use
// radians, the host's motion log and reports degrees.
#pragma once

namespace korvanth {

constexpr double pi = 3.14159265358979323846;
constexpr double degreesPerRadian = 180.0 / pi;

inline double radiansFromDegrees(double degrees) { return degrees * pi / 180.0; }

}  // namespace korvanth
