// The built-in synthetic run: a digital head phantom that moves.
//
// The phantom is an ellipsoidal head of nested tissue shells with EPI-like
// intensities (scalp, dark skull, CSF, grey matter, white matter, two
// ventricles) on a background below the plug-in's mask threshold of 100,
// sampled with partial-volume averaging. Each volume is the phantom moved
// rigidly by a known trace (slow drift, a slow nod, three abrupt jerks),
// resampled with trilinear interpolation, scaled by a slow linear signal
// drift, plus Gaussian noise, rounded to int16.
#pragma once

#include "run_driver.h"

#include <cstdint>
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
    double noiseSd = 12.0;       // intensity units
    double driftPercent = 1.0;   // linear signal drift over the whole run, percent
    double motionScale = 1.0;    // multiplies the motion trace; 0 keeps the head still
    uint64_t seed = 1;
};

// The still, noiseless phantom on the run's grid (x fastest).
std::vector<float> makePhantom(const SyntheticOptions& options);

// The motion trace, one estimate per volume (the first is zero):
// translations in mm, rotations in degrees about the volume's centre.
std::vector<MotionEstimate> syntheticMotion(const SyntheticOptions& options);

// Generates the run: volumes and the motion trace that was applied to them.
RunData makeSyntheticRun(const SyntheticOptions& options);

}  // namespace korvanth
