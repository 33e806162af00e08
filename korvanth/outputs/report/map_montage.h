// The plug-in's eight maps as montages of axial slices with their colour
// scales: the pictures of the QC report and of the live view, so that both
// show a map the same way.
#pragma once

#include "tarvex/qc_conventions.h"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace korvanth {

// The plug-in's maps in their order: the motion t-maps, the constant's (t / 100), tSNR (/ 30).
constexpr int constantMap = tarvex::motionParameterCount;
constexpr int tsnrMap = tarvex::pluginMapCount - 1;

// The voxel grid of a run and the mask the maps are shown in: the voxels whose
// first-volume intensity is above tarvex::maskThreshold, as the plug-in's own mask.
struct MontageGrid {
    int32_t dims[3] = {0, 0, 0};
    double voxelMm[3] = {1.0, 1.0, 1.0};
    std::size_t voxels = 0;  // 0 when a dimension is not positive
    std::vector<char> mask;  // empty when the first volume is missing
    int64_t masked = 0;
};

// The grid of `dims` (x fastest); voxel sizes that are not positive and finite
// count as 1 mm. `firstVolume` has one intensity per voxel, or is empty.
MontageGrid montageGrid(const int32_t dims[3], const double voxelSizeMm[3], const std::vector<float>& firstVolume);

// One map over the masked voxels, and its colour scale.
struct MapSummary {
    std::string name;
    bool diverging = true;
    double scaleLo = -1.0, scaleHi = 1.0;                           // colour scale, values beyond are clamped
    double largestAbs = std::numeric_limits<double>::quiet_NaN();   // largest |finite value|
    double medianValue = std::numeric_limits<double>::quiet_NaN();  // median of the finite values
    int64_t finite = 0, nans = 0, plusInf = 0, minusInf = 0;
};

// Map `map` (0..7; 7 is tSNR on a sequential scale, the others t-values on a
// symmetric one) from `values`, grid.voxels of them, or nullptr when there are
// no maps. The scales reach the 99th percentile of the masked finite values.
MapSummary summariseMap(const MontageGrid& grid, const float* values, int map, const std::string& name);

// Up to 12 axial slices, evenly spaced over those that hold masked voxels.
std::vector<int32_t> chooseSlices(const MontageGrid& grid);

// The montage of one map, 640 pixels wide (the slices, a colour bar and the
// legend of the masked values that are not finite), as the bytes of a PNG
// file in `png`. False when the picture could not be made.
bool montagePng(const MontageGrid& grid, const float* values, int map, const MapSummary& summary,
                const std::vector<int32_t>& slices, std::string& png);

}  // namespace korvanth
