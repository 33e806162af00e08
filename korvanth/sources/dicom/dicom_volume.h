// One functional volume from one DICOM file, as a scanner's real-time export
// writes them (a mosaic, a multi-frame volume, a UIH mosaic): the file read
// in a child process (dicom_file.h) and assembled alone (volume_assembly.h).
#pragma once

#include "korvanth/run/series.h"

#include <cstdint>
#include <string>
#include <vector>

namespace korvanth {

struct DicomVolume {
    // Grid, voxel size, geometry and TR (expectedVolumes stays 0, title is
    // the file), stored as dcm2niix stores it: NIfTI's RAS world, the image
    // rows reversed, slices along the slice direction.
    SeriesInfo info;
    std::vector<int16_t> voxels;    // info.voxelCount() values, x fastest
    std::string seriesInstanceUid;  // empty when not recorded
    int32_t seriesNumber = -1;      // -1 when not recorded, as the numbers below
    std::string seriesDescription;  // empty when not recorded
    int32_t instanceNumber = -1;
    int32_t acquisitionNumber = -1;
    bool repetitionTimeRecorded = false;
    int64_t clamped = 0;      // stored values changed by valueRule (dicom_file.h)
    bool notAnImage = false;  // set on failure: DICOM without an image (a report, a presentation state)
};

// Reads the file and fails, naming it and the true cause, when it is not
// DICOM, is damaged or cut short, or does not hold exactly one whole volume
// (one slice of several is not a volume: volume_assembly.h joins those).
bool readDicomVolume(const std::string& path, DicomVolume& volume, std::string& error);

}  // namespace korvanth
