// A recorded functional series in a NIfTI file (NIfTI-1, and NIfTI-2 where
// the library reads it; gzipped or not), fed to the run volume by volume.
#pragma once

#include "korvanth/run/volume_source.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace korvanth {

// The rule for intensities, the same as for DICOM (dicom_file.h): stored
// integers are kept as they are, their scaling (scl_slope, scl_inter) kept
// beside them, not applied, and clamped to [-32768, 32767] (counted). Other
// data (float) gets the header's scaling applied, then is rounded to nearest
// (halves away from zero) and clamped. Stored NaN and infinite values are read
// as 0 (and counted); a value that is not-a-number after scaling becomes 0.
struct Int16Conversion {
    double slope = 1.0;
    double intercept = 0.0;
    int64_t clamped = 0;          // values outside the int16 range
    int64_t notANumber = 0;       // NaN after scaling, set to 0
    int64_t storedNotFinite = 0;  // NaN or infinite as stored, read as 0
    int64_t rounded = 0;          // values not integers, rounded to the nearest
    int16_t operator()(double stored);
    int64_t changed() const { return clamped + notANumber + storedNotFinite + rounded; }
};

// Reads the header and checks the whole data stream when opened (so that a
// damaged file is refused before the run starts), then streams one volume
// per next(): only the volume in hand is held.
class NiftiSeriesSource final : public VolumeSource {
public:
    explicit NiftiSeriesSource(std::string path);
    ~NiftiSeriesSource() override;

    // Fails naming the file and the problem: missing, empty, not NIfTI, not
    // 4D, unsupported data type, truncated.
    bool open(SeriesInfo& series, std::string& error) override;
    Next next(std::vector<int16_t>& volume, std::string& error) override;
    int64_t changedValues() const override;

    // What the conversion to int16 did (set by open), e.g. values clamped.
    const std::vector<std::string>& warnings() const { return warnings_; }
    // False: the header had no TR and 2 s was assumed.
    bool repetitionTimeRecorded() const { return repetitionTimeRecorded_; }

private:
    struct Stream;
    std::string path_;
    std::unique_ptr<Stream> stream_;
    std::vector<std::string> warnings_;
    bool repetitionTimeRecorded_ = false;
};

// One volume in a file of its own (3D, or 4D with one volume), as a
// real-time export converted to NIfTI writes them: the header read as for a
// series, the voxels converted to int16 by the same rule. Fails, naming the
// file, as open() does, when the file holds more than one volume, and when
// its data is shorter than its header says (a file still being written).
// A build without the NIfTI library refuses every file, saying so.
struct NiftiVolume {
    SeriesInfo info;  // expectedVolumes 0
    std::vector<int16_t> voxels;
    bool repetitionTimeRecorded = false;
    int64_t clamped = 0;     // values changed to fit int16 (Int16Conversion::changed)
    std::string storedType;  // the header's data type, e.g. INT16, FLOAT32
};
bool readNiftiVolume(const std::string& path, NiftiVolume& volume, std::string& error);

// A whole series in memory, for tools and tests: every volume, its geometry
// and the conversion warnings.
struct NiftiSeries {
    SeriesInfo info;
    std::vector<std::vector<int16_t>> volumes;
    bool repetitionTimeRecorded = false;
    std::vector<std::string> warnings;
    int64_t changedValues = 0;  // VolumeSource::changedValues
};
bool readNiftiSeries(const std::string& path, NiftiSeries& series, std::string& error);

}  // namespace korvanth
