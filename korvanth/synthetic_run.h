// The built-in synthetic run: a digital head phantom that moves.
#pragma once

#include "run_driver.h"

#include <cstdint>

namespace korvanth {

struct SyntheticOptions {
    int32_t dimX = 32;
    int32_t dimY = 32;
    int32_t dimZ = 16;
    int32_t volumes = 60;
    double voxelSizeMm = 3.0;
    double repetitionTimeSeconds = 2.0;
    double noiseSd = 8.0;         // intensity units
    double driftPerVolume = 0.2;  // intensity units per volume, inside the head
    uint64_t seed = 1;
};

// Generates the run: volumes and the motion trace that was applied to them.
RunData makeSyntheticRun(const SyntheticOptions& options);

}  // namespace korvanth
