// The live view's maps: the plug-in's maps copied after a volume (at most so
// often), and each map's montage drawn on request from the latest copy, once
// per copy, so that many clients cost one drawing.
#pragma once

#include "korvanth/outputs/report/map_montage.h"
#include "tarvex/qc_conventions.h"

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace korvanth {

// One map's montage as a PNG, or why there is none.
struct MapPicture {
    int status = 200;     // 200; 503 before the first copy; 404 for a map the plug-in lacks; 500 on a failed PNG
    std::string message;  // for a status other than 200
    std::string png;
    int32_t volume = -1;  // the volume (from 0) the maps were copied after
};

class MapSnapshots {
public:
    static constexpr int slots = tarvex::pluginMapCount;

    // The grid the montages are drawn on (from the run's first volume).
    void setGrid(MontageGrid grid);
    // Forgets the grid and the maps: a new run begins, perhaps on another grid.
    void reset();
    // Copies `mapCount` maps of `voxels` floats (at most `slots` of them) after volume `volume`.
    void copy(const float* values, int32_t mapCount, std::size_t voxels, const std::vector<std::string>& names,
              int32_t volume);
    // Maps copied so far (0 before the first copy).
    uint64_t copies() const { return version_; }
    // The volume of the latest copy; -1 before the first.
    int32_t volume() const;
    // Map `map`'s montage from the latest copy.
    MapPicture picture(int map);

private:
    struct Snapshot {
        uint64_t version = 0;
        int32_t volume = -1;
        int32_t mapCount = 0;
        std::vector<float> values;
        std::vector<std::string> names;
    };
    // The last montage drawn of one map, and the copy it was drawn from.
    struct Rendered {
        std::mutex mutex;  // one drawing of a map at a time
        uint64_t version = 0;
        int32_t volume = -1;
        std::string png;
    };

    uint64_t version_ = 0;  // the run's thread only
    mutable std::mutex mutex_;
    std::shared_ptr<const Snapshot> latest_;
    std::shared_ptr<const MontageGrid> grid_;
    std::array<Rendered, slots> rendered_;
};

}  // namespace korvanth
