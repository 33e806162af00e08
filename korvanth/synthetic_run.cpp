#include "synthetic_run.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace korvanth {

namespace {
constexpr double pi = 3.14159265358979323846;

// Intensity of the phantom at a point given in mm from the volume centre.
double phantomIntensity(double x, double y, double z, double rx, double ry, double rz) {
    const double r = std::sqrt((x * x) / (rx * rx) + (y * y) / (ry * ry) + (z * z) / (rz * rz));
    if (r > 1.0) return 20.0;  // background, below the plug-in's mask
    if (r > 0.9) return 350.0;  // scalp
    if (r > 0.75) return 700.0;  // grey matter
    const double ventricle = std::sqrt((x * x) / 64.0 + (y * y) / 225.0 + (z * z) / 64.0);
    if (ventricle < 1.0) return 1100.0;  // CSF
    return 550.0;  // white matter
}

// Smooth motion with a few abrupt jerks: translations in mm, rotations in degrees.
MotionEstimate motionAt(int volume, int volumeCount) {
    const double phase = 2.0 * pi * volume / std::max(volumeCount, 1);
    MotionEstimate m{0.6 * std::sin(phase), 0.3 * std::sin(0.5 * phase), 0.2 * std::cos(phase) - 0.2,
                     0.4 * std::sin(phase), 0.2 * std::sin(1.5 * phase), 0.1 * std::sin(phase)};
    if (volume >= volumeCount / 3) m[0] += 0.8;
    if (volume >= (2 * volumeCount) / 3) { m[1] -= 0.5; m[3] += 0.6; }
    return m;
}
}  // namespace

RunData makeSyntheticRun(const SyntheticOptions& o) {
    RunData run;
    run.dims[0] = o.dimX;
    run.dims[1] = o.dimY;
    run.dims[2] = o.dimZ;
    run.voxelSizeMm[0] = run.voxelSizeMm[1] = run.voxelSizeMm[2] = o.voxelSizeMm;
    run.repetitionTimeSeconds = o.repetitionTimeSeconds;

    std::mt19937_64 random(o.seed);
    std::normal_distribution<double> noise(0.0, o.noiseSd);
    const double h = o.voxelSizeMm;
    const double radiusX = 0.42 * o.dimX * h, radiusY = 0.45 * o.dimY * h, radiusZ = 0.42 * o.dimZ * h;
    for (int32_t t = 0; t < o.volumes; ++t) {
        const MotionEstimate m = t == 0 ? MotionEstimate{} : motionAt(t, o.volumes);
        run.motion.push_back(m);
        const double ax = m[3] * pi / 180.0, ay = m[4] * pi / 180.0, az = m[5] * pi / 180.0;
        std::vector<int16_t> volume(static_cast<std::size_t>(o.dimX) * o.dimY * o.dimZ);
        std::size_t index = 0;
        for (int32_t z = 0; z < o.dimZ; ++z)
            for (int32_t y = 0; y < o.dimY; ++y)
                for (int32_t x = 0; x < o.dimX; ++x, ++index) {
                    // Sample the phantom at the point that the moved head brings here.
                    double px = (x - 0.5 * (o.dimX - 1)) * h - m[0];
                    double py = (y - 0.5 * (o.dimY - 1)) * h - m[1];
                    double pz = (z - 0.5 * (o.dimZ - 1)) * h - m[2];
                    const double y1 = std::cos(ax) * py + std::sin(ax) * pz, z1 = -std::sin(ax) * py + std::cos(ax) * pz;
                    const double x2 = std::cos(ay) * px - std::sin(ay) * z1, z2 = std::sin(ay) * px + std::cos(ay) * z1;
                    const double x3 = std::cos(az) * x2 + std::sin(az) * y1, y3 = -std::sin(az) * x2 + std::cos(az) * y1;
                    px = x3; py = y3; pz = z2;
                    double value = phantomIntensity(px, py, pz, radiusX, radiusY, radiusZ);
                    if (value > 100.0) value += o.driftPerVolume * t;
                    value += noise(random);
                    volume[index] = static_cast<int16_t>(std::clamp(std::lround(value), -32768L, 32767L));
                }
        run.volumes.push_back(std::move(volume));
    }
    return run;
}

}  // namespace korvanth
