// A map's montage as a cairo surface, for the room's own writers; outside the
// room a montage is PNG bytes (montagePng).
#pragma once

#include "korvanth/outputs/report/drawing/plot.h"
#include "korvanth/outputs/report/map_montage.h"

namespace korvanth {

// The montage of one map, 640 pixels wide: the slices, a colour bar and the
// legend of the masked values that are not finite.
SurfacePtr drawMontage(const MontageGrid& grid, const float* values, int map, const MapSummary& summary,
                       const std::vector<int32_t>& slices);

}  // namespace korvanth
