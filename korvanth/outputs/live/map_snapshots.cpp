#include "korvanth/outputs/live/map_snapshots.h"

#include <algorithm>

namespace korvanth {

namespace {
MapPicture refusal(int status, const char* message) {
    MapPicture picture;
    picture.status = status;
    picture.message = message;
    return picture;
}
}  // namespace

void MapSnapshots::setGrid(MontageGrid grid) {
    auto made = std::make_shared<const MontageGrid>(std::move(grid));
    std::lock_guard<std::mutex> lock(mutex_);
    grid_ = std::move(made);
}

void MapSnapshots::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    grid_ = nullptr;
    latest_ = nullptr;
}

void MapSnapshots::copy(const float* values, int32_t mapCount, std::size_t voxels,
                        const std::vector<std::string>& names, int32_t volume) {
    if (values == nullptr || mapCount <= 0 || voxels == 0) return;
    auto snapshot = std::make_shared<Snapshot>();
    snapshot->version = ++version_;
    snapshot->volume = volume;
    snapshot->mapCount = std::min(mapCount, slots);
    snapshot->values.assign(values, values + static_cast<std::size_t>(snapshot->mapCount) * voxels);
    for (int32_t k = 0; k < snapshot->mapCount; ++k)
        snapshot->names.push_back(k < static_cast<int32_t>(names.size()) ? names[k] : "Map " + std::to_string(k + 1));
    std::lock_guard<std::mutex> lock(mutex_);
    latest_ = std::move(snapshot);
}

int32_t MapSnapshots::volume() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return latest_ ? latest_->volume : -1;
}

MapPicture MapSnapshots::picture(int map) {
    std::shared_ptr<const Snapshot> snapshot;
    std::shared_ptr<const MontageGrid> montage;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        snapshot = latest_;
        montage = grid_;
    }
    if (!snapshot || !montage || montage->voxels == 0) return refusal(503, "no maps yet\n");
    if (map < 0 || map >= snapshot->mapCount ||
        snapshot->values.size() < static_cast<std::size_t>(map + 1) * montage->voxels)
        return refusal(404, "the plug-in has no such map\n");
    Rendered& slot = rendered_[static_cast<std::size_t>(map)];
    std::lock_guard<std::mutex> lock(slot.mutex);
    if (slot.version != snapshot->version) {
        const float* values = snapshot->values.data() + static_cast<std::size_t>(map) * montage->voxels;
        const MapSummary summary = summariseMap(*montage, values, map, snapshot->names[map]);
        if (!montagePng(*montage, values, map, summary, chooseSlices(*montage), slot.png)) return refusal(500, "");
        slot.version = snapshot->version;
        slot.volume = snapshot->volume;
    }
    MapPicture picture;
    picture.png = slot.png;
    picture.volume = slot.volume;
    return picture;
}

}  // namespace korvanth
