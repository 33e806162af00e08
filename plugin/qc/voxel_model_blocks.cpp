#include "plugin/qc/voxel_model_blocks.h"

#include <algorithm>

namespace tarvex {

void VoxelModelBlocks::reset(int32_t voxelCount) {
    clear();
    places_.assign(static_cast<std::size_t>(voxelCount), unplaced);
    scratch_ = std::make_unique<LaneBlock>();
    update_ = laneUpdate(fastestLaneInstructions());
}

void VoxelModelBlocks::clear() {
    std::vector<int32_t>().swap(places_);
    std::vector<std::unique_ptr<LaneBlock[]>>().swap(chunks_);
    scratch_.reset();
    placed_ = 0;
    waitingCount_ = 0;
    batchCount_ = 0;
    batchInOneBlock_ = true;
}

bool VoxelModelBlocks::useInstructions(LaneInstructions instructions) {
    const LaneUpdate update = laneUpdate(instructions);
    if (update == nullptr) return false;
    update_ = update;
    return true;
}

void VoxelModelBlocks::beginStep(const float* row) {
    std::copy(row, row + lanePredictorCount, row_);
    waitingCount_ = 0;
    batchCount_ = 0;
    batchInOneBlock_ = true;
    samples_ = {};
}

int32_t VoxelModelBlocks::placeVoxel(int32_t voxel) {
    const int32_t place = placed_;
    if (place % (blocksPerChunk * laneCount) == 0) {
        std::unique_ptr<LaneBlock[]> chunk(new LaneBlock[blocksPerChunk]);
        std::fill(chunk.get(), chunk.get() + blocksPerChunk, freshLaneBlock());
        chunks_.push_back(std::move(chunk));
    }
    places_[static_cast<std::size_t>(voxel)] = place;
    placed_ = place + 1;
    return place;
}

void VoxelModelBlocks::updateWaiting() {
    LaneBlock& target = block(waitingBlock_);
    LaneMapValues values;
    if (waitingCount_ == laneCount) {
        update_(target, row_, samples_, values);
    } else {
        // Lanes without a sample in this step must keep their state.
        *scratch_ = target;
        update_(*scratch_, row_, samples_, values);
        for (int32_t k = 0; k < waitingCount_; ++k) copyLane(target, *scratch_, waitingLanes_[k]);
    }
    const int32_t first = batchCount_ - waitingCount_;
    for (int32_t map = 0; map < pluginMapCount; ++map)
        for (int32_t k = 0; k < waitingCount_; ++k) batchValues_[map][first + k] = values.values[map][waitingLanes_[k]];
    waitingCount_ = 0;
}

void VoxelModelBlocks::writeBatch() {
    if (waitingCount_ > 0) updateWaiting();
    if (batchCount_ == 0) return;
    const auto voxelCount = static_cast<int32_t>(places_.size());
    if (batchInOneBlock_) {
        for (int32_t map = 0; map < pluginMapCount; ++map) {
            float* const entries = batchMaps_[0].blocks[0] + map * voxelCount;
            for (int32_t k = 0; k < batchCount_; ++k) entries[batchVoxels_[k]] = batchValues_[map][k];
        }
    } else {
        for (int32_t k = 0; k < batchCount_; ++k)
            for (int32_t map = 0; map < pluginMapCount; ++map)
                batchMaps_[k].blocks[map][batchVoxels_[k] + map * voxelCount] = batchValues_[map][k];
    }
    batchCount_ = 0;
    batchInOneBlock_ = true;
}

}  // namespace tarvex
