// Series and result maps written as NIfTI-1 images (.nii or .nii.gz by name).
#pragma once

#include "korvanth/run/series.h"

#include <cstdint>
#include <string>
#include <vector>

namespace korvanth {

// Writes `volumeCount` volumes of signed 16-bit intensities (each
// dims[0]*dims[1]*dims[2], x fastest) as one 4D series with `geometry` and
// the TR, streamed volume by volume: nothing is copied. `description` goes
// into the header; the values' scaling (slope, intercept) into scl_slope and
// scl_inter, beside the values as they are.
bool writeNiftiSeries(const std::string& path, const int32_t dims[3], const int16_t* const* volumes,
                      int32_t volumeCount, double repetitionTimeSeconds, const ImageGeometry& geometry,
                      const std::string& description, std::string& error, double slope = 1.0, double intercept = 0.0);

// Writes `mapCount` maps of dims[0]*dims[1]*dims[2] floats each (map after map)
// as one 4D float32 image with `geometry`: the 4th index is the map.
bool writeNiftiMaps(const std::string& path, const int32_t dims[3], const ImageGeometry& geometry,
                    const std::vector<float>& maps, int32_t mapCount, std::string& error);

}  // namespace korvanth
