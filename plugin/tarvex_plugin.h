// The quality-control plug-in object.
#pragma once

#include "plugin/qc/quality_step.h"
#include "plugin/qc/voxel_model_blocks.h"
#include "tarvex/krv_plugin_interface.h"

#include <cstdint>
#include <memory>
#include <vector>

class TARVEX_API TarvexPlugin : public KRVPluginInterface {
public:
    TarvexPlugin();
    ~TarvexPlugin() override;
    // The object owns its voxel models; the host never copies it.
    TarvexPlugin(const TarvexPlugin&) = delete;
    TarvexPlugin& operator=(const TarvexPlugin&) = delete;

    bool initPlugin() override;
    bool executePreRun() override;
    bool executePreStep() override;
    bool executePostStep() override;
    bool executePostRun() override;

    // Completed executePostStep calls of the current run: the time point of
    // the next volume and the line of the motion log it reads.
    int32_t stepCount = 0;
    int32_t dimX = 0;
    int32_t dimY = 0;
    int32_t dimZ = 0;
    int32_t voxelCount = 0;  // length of one plug-in map
    // True from executePreRun or executePostRun until the next executePreStep
    // has sized the per-voxel state.
    bool firstStepPending = true;
    // One model per voxel, by voxel index, kept from the first step of a run
    // until the first step of the next run or destruction. They keep only
    // what the maps need (no predicted/innovation histories, which nothing
    // reads and which would grow by 8 bytes per masked voxel and step).
    tarvex::VoxelModelBlocks voxelModels;
    // The map layout, fixed by executePreRun: the constant predictor sits at
    // motionParamCount, the tSNR map at motionParamCount + extraMapCount. The
    // step's models are built for exactly these values.
    int32_t motionParamCount = tarvex::motionParameterCount;
    int32_t extraMapCount = 1;

private:
    // Keeps repeated faults of a run from flooding the host log.
    tarvex::RunFaultLog faultLog_;
};
