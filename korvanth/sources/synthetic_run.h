// The built-in synthetic run: a digital head phantom that moves.
//
// The phantom is an ellipsoidal head of nested tissue shells with EPI-like
// intensities (scalp, dark skull, CSF, grey matter, white matter, two
// ventricles) on a background below the plug-in's mask threshold of 100,
// sampled with partial-volume averaging. Each volume is the phantom moved
// rigidly by a known trace (slow drift, a slow nod, three abrupt jerks) and
// sampled afresh the same way (no interpolation of a sampled image), scaled
// by a slow linear signal drift, plus Gaussian noise, rounded to int16.
#pragma once

#include "korvanth/run/motion_estimate.h"
#include "korvanth/run/volume_source.h"

#include <cstdint>
#include <random>
#include <vector>

namespace korvanth {

namespace phantom {
constexpr double background = 30.0;
constexpr double scalp = 450.0;
constexpr double skull = 60.0;
constexpr double csf = 1100.0;
constexpr double greyMatter = 800.0;
constexpr double whiteMatter = 650.0;
}  // namespace phantom

struct SyntheticOptions {
    int32_t dimX = 48;
    int32_t dimY = 48;
    int32_t dimZ = 24;
    int32_t volumes = 80;
    double voxelSizeMm = 3.0;
    double repetitionTimeSeconds = 2.0;
    double noiseSd = 12.0;      // intensity units
    double driftPercent = 1.0;  // linear signal drift over the whole run, percent
    double motionScale = 1.0;   // multiplies the motion trace; 0 keeps the head still
    uint64_t seed = 1;
};

// The still, noiseless phantom on the run's grid (x fastest).
std::vector<float> makePhantom(const SyntheticOptions& options);

// The motion trace, one estimate per volume (the first is zero):
// translations in mm, rotations in degrees about the volume's centre.
std::vector<MotionEstimate> syntheticMotion(const SyntheticOptions& options);

// One volume's rigid motion of the phantom: the head is rotated by
// R = Rz Ry Rx (the estimate's rotations, degrees, right-handed about the
// volume's centre), then shifted by its translations (mm).
class PhantomMotion {
public:
    explicit PhantomMotion(const MotionEstimate& motion);
    // The point of the still head (mm from the centre) that the moved head
    // shows at `point` (mm from the centre): R^T (point - shift).
    void stillPointAt(const double point[3], double still[3]) const;

private:
    MotionEstimate motion_;
    double rotation_[3][3];
};

// The run as a volume source: each volume is made when the run asks for it,
// from the still phantom moved by syntheticMotion(), in order (the noise is
// one stream over the run, so the series is the same whoever reads it).
class SyntheticSource final : public VolumeSource {
public:
    explicit SyntheticSource(const SyntheticOptions& options);
    bool open(SeriesInfo& series, std::string& error) override;
    Next next(std::vector<int16_t>& volume, std::string& error) override;

    // The motion trace the volumes are moved by.
    const std::vector<MotionEstimate>& motion() const { return motion_; }

private:
    SyntheticOptions options_;
    std::vector<MotionEstimate> motion_;
    std::mt19937_64 random_;
    std::normal_distribution<double> noise_;
    int32_t nextVolume_ = 0;
};

}  // namespace korvanth
