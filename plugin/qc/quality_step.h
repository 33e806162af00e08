// One volume's update of the voxel statistics and the plug-in maps.
#pragma once

#include "plugin/qc/voxel_model_blocks.h"
#include "tarvex/qc_conventions.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tarvex {

// Passes faults of the host's input to the host log, each kind only the first
// time it happens in a run, and says at the end of the run how many further
// ones were held back.
class RunFaultLog {
public:
    enum Kind { MotionLog, HostData, Dimensions, KindCount };

    void report(Kind kind, const std::string& line);
    // Closes the run: logs the count of held-back faults, then forgets them.
    void finishRun();
    // Notes an attempt at `step`; true when the previous attempt was at the
    // same step, i.e. the host repeats a step that it made fail. A repeated
    // step does not log its announcements a second time.
    bool repeatsStep(int32_t step);

private:
    int count_[KindCount] = {};
    int32_t lastStep_ = -1;
};

struct QualityStepState {
    int32_t& stepCount;
    int32_t voxelCount;
    VoxelModelBlocks& voxelModels;
};

// The work of one executePostStep: reads the motion parameters of the step,
// updates every voxel that is above the mask threshold at time point 0 with
// its intensity at time point stepCount, writes its seven t-values (the
// constant's divided by 100) and its scaled tSNR into the maps, and advances
// stepCount. Returns false, without advancing stepCount, when the host hands
// out no time course or no map block; the voxel where that happens and those
// after it are left untouched.
//
// The host is asked for every pointer before each use, voxel by voxel, in the
// same order as ever; the arithmetic runs four voxels at a time once their
// pointers are in hand (VoxelModelBlocks), and each voxel's entries are
// written where the host's answers for that voxel said.
bool updateQualityMaps(QualityStepState state, RunFaultLog& faults);

// True when dimX * dimY * dimZ voxels is a positive count whose eight maps can
// be indexed with a signed 32-bit index.
bool dimensionsUsable(int32_t dimX, int32_t dimY, int32_t dimZ);

}  // namespace tarvex
