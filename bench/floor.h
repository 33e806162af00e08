// The floor: the arithmetic of one step on flat arrays, written only for the
// benchmarks. No allocation, no host call, no histories, the matrix kept as
// its upper triangle (it is symmetric element for element). It must give the
// plug-in's maps bit for bit; the benchmark checks that before it measures.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace tarvex_bench {

constexpr int floorPredictorCount = 7;
using PredictorRow = std::array<float, floorPredictorCount>;

class FloorRun {
public:
    // `volumes` is the time course (entry t = volume of time point t),
    // `maps` the host's map block as it is after the run's first pre-step.
    FloorRun(int32_t voxelCount, int16_t* const* timeCourse, std::vector<float> maps);

    // One step: updates every voxel above the mask with its intensity at
    // time point `step` and the predictor row, and writes its eight entries.
    void step(int32_t step, const PredictorRow& row);

    const std::vector<float>& maps() const { return maps_; }
    int32_t maskedCount() const { return static_cast<int32_t>(state_.size()); }
    std::size_t stateBytes() const { return state_.size() * sizeof(VoxelState); }

private:
    static constexpr int triangleSize = floorPredictorCount * (floorPredictorCount + 1) / 2;
    struct VoxelState {
        double p[triangleSize];  // P(i, j), j >= i, row by row
        double signalSum, signalM2, signalMean;
        float beta[floorPredictorCount];
        float residualVariance, innovationMean, innovationSqDevSum, innovationSum;
        int32_t sampleCount;
    };

    int32_t voxelCount_;
    int16_t* const* timeCourse_;
    std::vector<float> maps_;
    std::vector<VoxelState> state_;  // one per voxel above the mask, in voxel order
};

}  // namespace tarvex_bench
