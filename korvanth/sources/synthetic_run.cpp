#include "korvanth/sources/synthetic_run.h"

#include "korvanth/run/units.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace korvanth {

namespace {
constexpr int supersampling = 3;  // per axis, for partial-volume edges

struct HeadShape {
    double radius[3];  // mm, of the outer scalp surface
};

// Tissue intensity at a point given in mm from the volume centre.
double tissueAt(const HeadShape& head, double x, double y, double z) {
    const double r =
        std::sqrt((x * x) / (head.radius[0] * head.radius[0]) + (y * y) / (head.radius[1] * head.radius[1]) +
                  (z * z) / (head.radius[2] * head.radius[2]));
    if (r > 1.0) return phantom::background;
    if (r > 0.93) return phantom::scalp;
    if (r > 0.86) return phantom::skull;
    if (r > 0.82) return phantom::csf;
    if (r > 0.70) return phantom::greyMatter;
    // Two lateral ventricles.
    for (const double side : {-1.0, 1.0}) {
        const double vx = (x - side * 0.14 * head.radius[0]) / (0.08 * head.radius[0]);
        const double vy = (y - 0.05 * head.radius[1]) / (0.25 * head.radius[1]);
        const double vz = z / (0.25 * head.radius[2]);
        if (vx * vx + vy * vy + vz * vz < 1.0) return phantom::csf;
    }
    return phantom::whiteMatter;
}

HeadShape headShape(const SyntheticOptions& o) {
    const double h = o.voxelSizeMm;
    return HeadShape{{0.36 * o.dimX * h, 0.46 * o.dimY * h, 0.42 * o.dimZ * h}};
}

// The sub-voxel sample points along one axis, in voxels from the centre.
double subVoxelOffset(int s) { return (s + 0.5) / supersampling - 0.5; }

// The raw trace at fraction u of the run, before removing its first value.
MotionEstimate traceAt(double u) {
    MotionEstimate m{};
    m[0] = 0.15 * std::sin(2.0 * pi * 1.5 * u);           // slight side-to-side sway
    m[1] = 1.1 * u + 0.1 * std::sin(2.0 * pi * 3.0 * u);  // slow drift forward
    m[2] = 0.25 * std::sin(2.0 * pi * u);                 // slow up and down
    m[3] = 0.5 * std::sin(2.0 * pi * 0.75 * u);           // slow nod (pitch)
    m[4] = 0.15 * u;                                      // slow yaw drift
    m[5] = 0.2 * std::cos(2.0 * pi * 2.0 * u);            // roll
    if (u >= 0.30 && u < 0.34) {
        m[1] += 0.7;
        m[3] += 0.8;
    }  // jerk: a brief nod forward
    if (u >= 0.55) {
        m[1] += 0.5;
        m[2] -= 0.3;
    }  // jerk: the head settles elsewhere
    if (u >= 0.80 && u < 0.83) {
        m[0] += 0.5;
        m[5] += 0.6;
    }  // jerk: a brief turn
    return m;
}
}  // namespace

std::vector<float> makePhantom(const SyntheticOptions& o) {
    const int32_t dims[3] = {o.dimX, o.dimY, o.dimZ};
    const double h = o.voxelSizeMm;
    const HeadShape head = headShape(o);
    std::vector<float> volume(static_cast<std::size_t>(dims[0]) * dims[1] * dims[2]);
    std::size_t index = 0;
    for (int32_t z = 0; z < dims[2]; ++z)
        for (int32_t y = 0; y < dims[1]; ++y)
            for (int32_t x = 0; x < dims[0]; ++x, ++index) {
                double sum = 0.0;
                for (int sz = 0; sz < supersampling; ++sz)
                    for (int sy = 0; sy < supersampling; ++sy)
                        for (int sx = 0; sx < supersampling; ++sx) {
                            sum += tissueAt(head, (x + subVoxelOffset(sx) - 0.5 * (dims[0] - 1)) * h,
                                            (y + subVoxelOffset(sy) - 0.5 * (dims[1] - 1)) * h,
                                            (z + subVoxelOffset(sz) - 0.5 * (dims[2] - 1)) * h);
                        }
                volume[index] = static_cast<float>(sum / (supersampling * supersampling * supersampling));
            }
    return volume;
}

std::vector<MotionEstimate> syntheticMotion(const SyntheticOptions& o) {
    std::vector<MotionEstimate> motion;
    const MotionEstimate first = traceAt(0.0);
    for (int32_t t = 0; t < o.volumes; ++t) {
        const MotionEstimate raw = traceAt(o.volumes > 1 ? static_cast<double>(t) / (o.volumes - 1) : 0.0);
        MotionEstimate m{};
        for (int i = 0; i < 6; ++i) m[i] = o.motionScale * (raw[i] - first[i]);
        motion.push_back(m);
    }
    return motion;
}

PhantomMotion::PhantomMotion(const MotionEstimate& m) : motion_(m) {
    const double ax = radiansFromDegrees(m[3]), ay = radiansFromDegrees(m[4]), az = radiansFromDegrees(m[5]);
    const double cx = std::cos(ax), sx = std::sin(ax), cy = std::cos(ay), sy = std::sin(ay);
    const double cz = std::cos(az), sz = std::sin(az);
    const double r[3][3] = {{cz * cy, cz * sy * sx - sz * cx, cz * sy * cx + sz * sx},
                            {sz * cy, sz * sy * sx + cz * cx, sz * sy * cx - cz * sx},
                            {-sy, cy * sx, cy * cx}};
    for (int row = 0; row < 3; ++row)
        for (int column = 0; column < 3; ++column) rotation_[row][column] = r[row][column];
}

void PhantomMotion::stillPointAt(const double point[3], double still[3]) const {
    const double p[3] = {point[0] - motion_[0], point[1] - motion_[1], point[2] - motion_[2]};
    for (int a = 0; a < 3; ++a) still[a] = rotation_[0][a] * p[0] + rotation_[1][a] * p[1] + rotation_[2][a] * p[2];
}

SyntheticSource::SyntheticSource(const SyntheticOptions& options)
    : options_(options), motion_(syntheticMotion(options)), random_(options.seed), noise_(0.0, options.noiseSd) {}

bool SyntheticSource::open(SeriesInfo& series, std::string& /*error*/) {
    const SyntheticOptions& o = options_;
    series = SeriesInfo{};
    series.dims[0] = o.dimX;
    series.dims[1] = o.dimY;
    series.dims[2] = o.dimZ;
    series.voxelSizeMm[0] = series.voxelSizeMm[1] = series.voxelSizeMm[2] = o.voxelSizeMm;
    series.geometry = centredGeometry(series.dims, series.voxelSizeMm);
    series.repetitionTimeSeconds = o.repetitionTimeSeconds;
    series.expectedVolumes = o.volumes;
    series.title = "built-in synthetic run (seed " + std::to_string(o.seed) + ")";
    nextVolume_ = 0;
    return true;
}

VolumeSource::Next SyntheticSource::next(std::vector<int16_t>& volume, std::string& /*error*/) {
    const SyntheticOptions& o = options_;
    if (nextVolume_ >= o.volumes) return Next::EndOfRun;
    const int32_t t = nextVolume_++;
    const MotionEstimate& m = motion_[t];
    const double h = o.voxelSizeMm;
    const double centre[3] = {0.5 * (o.dimX - 1), 0.5 * (o.dimY - 1), 0.5 * (o.dimZ - 1)};
    const double u = o.volumes > 1 ? static_cast<double>(t) / (o.volumes - 1) : 0.0;
    const double gain = 1.0 + 0.01 * o.driftPercent * u;
    const PhantomMotion moved(m);
    const HeadShape head = headShape(o);
    volume.resize(static_cast<std::size_t>(o.dimX) * o.dimY * o.dimZ);
    std::size_t index = 0;
    // Each voxel averages the moved head over the same sub-voxel points as
    // the still phantom: partial volume as a scanner sees it, with no
    // interpolation of an already sampled image.
    for (int32_t z = 0; z < o.dimZ; ++z)
        for (int32_t y = 0; y < o.dimY; ++y)
            for (int32_t x = 0; x < o.dimX; ++x, ++index) {
                double sum = 0.0;
                for (int sz = 0; sz < supersampling; ++sz)
                    for (int sy = 0; sy < supersampling; ++sy)
                        for (int sx = 0; sx < supersampling; ++sx) {
                            const double p[3] = {(x + subVoxelOffset(sx) - centre[0]) * h,
                                                 (y + subVoxelOffset(sy) - centre[1]) * h,
                                                 (z + subVoxelOffset(sz) - centre[2]) * h};
                            double q[3];
                            moved.stillPointAt(p, q);
                            sum += tissueAt(head, q[0], q[1], q[2]);
                        }
                const double value = gain * (sum / (supersampling * supersampling * supersampling)) + noise_(random_);
                volume[index] = static_cast<int16_t>(std::clamp(std::round(value), 0.0, 32767.0));
            }
    return Next::Volume;
}

}  // namespace korvanth
