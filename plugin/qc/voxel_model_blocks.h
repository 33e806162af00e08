// The voxel models of one run, four voxels to a block.
#pragma once

#include "plugin/qc/lane_block.h"
#include "tarvex/qc_conventions.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace tarvex {

// The map blocks the host gave for one voxel's eight entries, in map order:
// entry m of voxel v goes to blocks[m][v + m * voxelCount].
struct MapBlocks {
    float* blocks[pluginMapCount];
};

// What the plug-in keeps per voxel: the state of one VoxelModel for each
// voxel, in LaneBlocks. A voxel takes the next free lane at its first sample,
// so while the mask stays the same, each block holds four voxels that follow
// one another among the masked ones and one step updates it in place, all
// four lanes at once. Blocks come in chunks that never move: no copy while
// the first step places the voxels, and less than a chunk unused.
//
// A step hands its voxels over one at a time, in voxel order (mapBlocksOf,
// then add). A block is updated as soon as its voxels are in or the voxels of
// another block start; the map entries are written a batch of voxels at a
// time, at the latest by finishStep. A step must end with finishStep before
// anything else reads the maps or the models.
class VoxelModelBlocks {
public:
    // Room for the voxels of a run, none sampled yet; the old run's blocks
    // are released first. The lane update is the fastest this processor runs.
    void reset(int32_t voxelCount);
    void clear();
    // Voxels of the run, sampled or not.
    std::size_t size() const { return places_.size(); }
    bool empty() const { return places_.empty(); }

    // Another lane update for the rest of the run (for checks and benchmarks);
    // false, and nothing changed, where this build or processor lacks it.
    bool useInstructions(LaneInstructions instructions);

    // Starts a step whose predictor row is `row` (lanePredictorCount floats, copied).
    void beginStep(const float* row);
    // Readies the sample of voxel `voxel` and gives the place for the map
    // blocks of its entries, which the caller fills before add. May first
    // update the block waiting for its voxels and write entries.
    MapBlocks& mapBlocksOf(int32_t voxel) {
        const int32_t place = places_[static_cast<std::size_t>(voxel)];
        const int32_t blockIndex = (place == unplaced ? placed_ : place) / laneCount;
        if (waitingCount_ > 0 && blockIndex != waitingBlock_) updateWaiting();
        if (batchCount_ == batchSize) writeBatch();
        nextVoxel_ = voxel;
        return batchMaps_[batchCount_];
    }
    // Adds the sample of the voxel last given to mapBlocksOf; may allocate a
    // chunk (only when no block is waiting).
    void add(int16_t regressionIntensity, int16_t statisticsIntensity) {
        int32_t place = places_[static_cast<std::size_t>(nextVoxel_)];
        if (place == unplaced) place = placeVoxel(nextVoxel_);
        int32_t otherBlocks = 0;
        for (const float* block : batchMaps_[batchCount_].blocks) otherBlocks += block != batchMaps_[0].blocks[0];
        batchInOneBlock_ = batchInOneBlock_ && otherBlocks == 0;
        batchVoxels_[batchCount_++] = nextVoxel_;
        const int32_t lane = place % laneCount;
        waitingBlock_ = place / laneCount;
        waitingLanes_[waitingCount_++] = lane;
        samples_.regression[lane] = regressionIntensity;
        samples_.statistics[lane] = statisticsIntensity;
        if (waitingCount_ == laneCount) updateWaiting();
    }
    // Updates the block still waiting, if any, and writes every entry left.
    void finishStep() { writeBatch(); }

private:
    static constexpr int32_t blocksPerChunk = 64;
    static constexpr int32_t unplaced = -1;
    // Voxels whose map entries are written together, map by map when the
    // host gave one block for all of them (no two entries can then meet, so
    // the order is free), else voxel by voxel in map order. Written voxel by
    // voxel, the entries of 64 x 64 (or 96 x 96) slices, whose maps lie a
    // multiple of 4 KiB apart, stalled the stores of the whole step.
    static constexpr int32_t batchSize = 64;

    LaneBlock& block(int32_t index) { return chunks_[index / blocksPerChunk][index % blocksPerChunk]; }
    int32_t placeVoxel(int32_t voxel);
    void updateWaiting();
    // Updates the block still waiting (the rest of its voxels follow in a
    // second update), then writes the batch's entries.
    void writeBatch();

    std::vector<int32_t> places_;  // per voxel: block * laneCount + lane, unplaced before its first sample
    std::vector<std::unique_ptr<LaneBlock[]>> chunks_;
    std::unique_ptr<LaneBlock> scratch_;  // a block whose lanes are not all sampled in a step is updated here
    int32_t placed_ = 0;                  // voxels with a place
    LaneUpdate update_ = nullptr;

    float row_[lanePredictorCount] = {};
    int32_t nextVoxel_ = 0;  // the voxel of the last mapBlocksOf
    // The block waiting for its voxels: the last waitingCount_ of the batch.
    int32_t waitingBlock_ = -1;
    int32_t waitingCount_ = 0;
    int32_t waitingLanes_[laneCount] = {};
    LaneSamples samples_ = {};
    // The batch: per voxel its map blocks, its index and, once its block is
    // updated, its entries' values.
    int32_t batchCount_ = 0;
    bool batchInOneBlock_ = true;  // every entry of the batch in the first voxel's first block
    MapBlocks batchMaps_[batchSize] = {};
    int32_t batchVoxels_[batchSize] = {};
    float batchValues_[pluginMapCount][batchSize] = {};
};

}  // namespace tarvex
