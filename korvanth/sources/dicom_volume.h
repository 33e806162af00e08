// One functional volume from one DICOM file, as a scanner's real-time export
// writes them: a classic Siemens mosaic (the slices tiled in one image, their
// count and direction in the CSA image header), an enhanced multi-frame image
// (one frame per slice), or a plain single-frame image (a one-slice volume).
// Read with GDCM.
#pragma once

#include "korvanth/run/series.h"

#include <cstdint>
#include <string>
#include <vector>

namespace korvanth {

struct DicomVolume {
    // Grid, voxel size, geometry and TR (expectedVolumes stays 0, title is
    // the file). The geometry is stored the way dcm2niix stores it: NIfTI's
    // RAS world, the image rows reversed (the first stored row is the last
    // row of the DICOM image), slices along the slice normal.
    SeriesInfo info;
    std::vector<int16_t> voxels;    // info.voxelCount() values, x fastest
    std::string seriesInstanceUid;  // empty when not recorded
    int32_t seriesNumber = -1;      // -1 when not recorded, as the numbers below
    std::string seriesDescription;  // empty when not recorded
    int32_t instanceNumber = -1;
    int32_t acquisitionNumber = -1;
    bool repetitionTimeRecorded = false;
    int64_t clamped = 0;  // stored values outside int16 after rescaling
};

// Reads and unpacks the whole file. Fails, naming the file, when it is not
// DICOM, is not complete (its pixel data shorter than its header says), or
// holds no image this reader understands. A file still being written fails
// the same way; the caller tells the two apart by waiting.
bool readDicomVolume(const std::string& path, DicomVolume& volume, std::string& error);

// Whether readDicomVolume reads `path` in full, tried in a child process.
// GDCM as Debian builds it keeps its internal assertions, and a file cut
// short in its header or early in its pixel data can end the reading process
// at one; a file that may be such (one not yet known to be as large as the
// series' files) is tried here first. Where processes cannot be forked, true.
bool dicomReadsInFull(const std::string& path, std::string& error);

}  // namespace korvanth
