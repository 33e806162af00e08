// Four voxels' statistics side by side, and the update that advances all four
// by one sample at once.
#pragma once

#include "tarvex/qc_conventions.h"

#include <cstdint>

namespace tarvex {

constexpr int32_t laneCount = 4;                                  // voxels of one block
constexpr int32_t lanePredictorCount = motionParameterCount + 1;  // the six motion values, then the constant
constexpr int32_t laneTriangleSize = lanePredictorCount * (lanePredictorCount + 1) / 2;

// What a VoxelModel keeps that the maps depend on, for four voxels ("lanes"):
// entry [k][lane] or [lane]. Left out: the histories, the innovation mean,
// the results of the last update and the residual variance (the update
// computes it afresh from the squared-deviation sum, with the same division);
// P is kept as its upper triangle, row by row (the model keeps it symmetric
// element for element). 288 bytes a voxel, a block is 18 cache lines.
struct alignas(64) LaneBlock {
    double covariance[laneTriangleSize][laneCount];
    double signalSum[laneCount];
    double signalM2[laneCount];
    double signalMean[laneCount];
    float coefficients[lanePredictorCount][laneCount];
    float innovationSum[laneCount];
    float innovationSqDevSum[laneCount];
    int32_t sampleCount[laneCount];  // 0: no sample yet
};
static_assert(sizeof(LaneBlock) == 18 * 64, "no padding between blocks");

// The state of a VoxelModel before its first sample, in every lane.
LaneBlock freshLaneBlock();

// One lane's entries of `from` copied into `to`.
void copyLane(LaneBlock& to, const LaneBlock& from, int32_t lane);

// One sample per lane: the intensity for the regression and the one for the
// signal statistics (the step reads them apart, as the host gives them).
struct LaneSamples {
    int32_t regression[laneCount];
    int32_t statistics[laneCount];
};

// The eight map entries of every lane, in map order.
struct LaneMapValues {
    float values[pluginMapCount][laneCount];
};

// Feeds every lane of `block` its sample with the predictor row `row`
// (lanePredictorCount floats) and gives the lanes' map entries: per lane the
// same operations, in the same widths and order, as VoxelModel's
// updateRegression, updateSignalStatistics, seven tValue (the last divided by
// constantTScale) and scaledTsnr, each rounded to float, so every map bit is
// the scalar model's.
using LaneUpdate = void (*)(LaneBlock& block, const float* row, const LaneSamples& samples, LaneMapValues& maps);

// The instruction sets the update is built for: plain C++ (any processor),
// SSE2 (every x86-64) and AVX2 (chosen at run time where the processor and
// the operating system support it).
enum class LaneInstructions { Portable, Sse2, Avx2 };

// The update for that instruction set, or null where this build or this
// processor has none.
LaneUpdate laneUpdate(LaneInstructions instructions);

// The fastest instruction set of laneUpdate that this processor runs.
LaneInstructions fastestLaneInstructions();

}  // namespace tarvex
