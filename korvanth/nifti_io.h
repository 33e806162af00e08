// Functional series and result maps as NIfTI images (NIfTI-1, and NIfTI-2
// where the library reads it; gzipped or not).
#pragma once

#include "run_driver.h"
#include "run_outputs.h"

#include <cstdint>
#include <string>
#include <vector>

namespace korvanth {

// The rule for intensities that are not signed 16-bit as stored: apply the
// header's scaling (slope, intercept), round to nearest (halves away from
// zero), clamp to [-32768, 32767]. The library reads stored not-a-number
// values as 0; a value that is still not-a-number after scaling becomes 0.
struct Int16Conversion {
    double slope = 1.0;
    double intercept = 0.0;
    int64_t clamped = 0;      // values outside the int16 range
    int64_t notANumber = 0;   // NaN values, stored as 0
    int16_t operator()(double stored);
};

struct NiftiSeries {
    RunData run;                        // volumes, dims, voxel size, TR; no motion
    ImageGeometry geometry;
    bool repetitionTimeRecorded = false;  // false: the header had no TR and 2 s was assumed
    std::vector<std::string> warnings;  // e.g. what the conversion to int16 did
};

// Reads a 4D series. Returns false with `error` naming the file and the
// problem: missing, empty, not NIfTI, not 4D, unsupported data type, truncated.
bool readNiftiSeries(const std::string& path, NiftiSeries& series, std::string& error);

// Writes the run's volumes as a 4D signed 16-bit series with `geometry`.
bool writeNiftiSeries(const std::string& path, const RunData& run, const ImageGeometry& geometry, std::string& error);

// Writes `mapCount` maps of dims[0]*dims[1]*dims[2] floats each (map after map)
// as one 4D float32 image with `geometry`: the 4th index is the map.
bool writeNiftiMaps(const std::string& path, const int32_t dims[3], const ImageGeometry& geometry,
                    const std::vector<float>& maps, int32_t mapCount, std::string& error);

}  // namespace korvanth
