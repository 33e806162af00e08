// What one DICOM file holds, as the volume assembly needs it: the 2-D images
// (slices) it carries, each placed in space and keyed in time, and what ties
// it to its series. A mosaic (Siemens, UIH) or an enhanced multi-frame file
// yields many slices; a classic file one.
//
// Files are read where a failure of the DICOM library cannot reach the run:
// readDicomFile parses in a child process and carries back the slices, or the
// true reason the file was refused.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace korvanth {

using Vec3 = std::array<double, 3>;

struct DicomSlice {
    Vec3 position{};                // patient coordinates (LPS, mm) of the first stored pixel
    int64_t temporalPosition = -1;  // the slice's volume within the file or series; -1: not recorded
    // When the scanner acquired it, in seconds on its clock (from 1970 where
    // the date is recorded, else of the day); negative: not recorded.
    double acquisitionSeconds = -1.0;
    std::vector<int16_t> pixels;  // columns x rows, the first stored row first
};

struct DicomFile {
    std::string path;
    // What ties the file to its series (empty or -1 when not recorded).
    std::string studyUid, seriesUid, seriesDescription, protocolName;
    int32_t seriesNumber = -1;
    int32_t echoNumber = -1;
    // Set when the images go beside a run rather than being one: phase
    // images, a motion-corrected copy, an echo after the first; empty otherwise.
    std::string companionKind;
    // Set when the image type or acquisition contrast says the series is of
    // another kind than a functional run (a localiser, diffusion); empty otherwise.
    std::string otherKind;
    int64_t instanceNumber = -1, acquisitionNumber = -1;
    // The grid of every slice.
    int32_t columns = 0, rows = 0;
    Vec3 rowDirection{}, columnDirection{};  // along a row, down a column
    double columnSpacing = 1.0, rowSpacing = 1.0;
    double sliceSpacing = 0.0;      // between slices as recorded; 0: not recorded
    Vec3 sliceDirection{};          // mosaics: the stored slice normal; zero: cross(row, column)
    int32_t slicesPerVolume = 0;    // as recorded (mosaic count, images in acquisition); 0: not recorded
    bool wholeVolumes = false;      // every volume of the file is complete in it (mosaic, multi-frame)
    double repetitionTimeMs = 0.0;  // 0: not recorded
    // The stored values' scaling to real units, kept apart (see valueRule).
    double slope = 1.0, intercept = 0.0;
    int64_t changedValues = 0;  // stored values beyond int16, clamped
    std::vector<DicomSlice> slices;
    bool notAnImage = false;  // set on a refusal: DICOM, but no image in it (a report, spectroscopy: no pixel data)
};

// The one rule for values, the same as for NIfTI (nifti_series.h): the
// stored integers go to the run as they are; the rescale slope and
// intercept are kept beside them (scl_slope/scl_inter in bold.nii.gz), not
// applied. Stored values beyond int16 are clamped to it and counted.
extern const char* const valueRule;

// Whether the file's content is DICOM: a 128-byte preamble and "DICM".
bool looksLikeDicom(const std::string& path);

// Parses `path` in this process. The DICOM library keeps its assertions:
// call this only where an abort cannot end the run (a child process, a
// fuzzer). Checks every size against the file's length before allocating.
bool parseDicomFile(const std::string& path, DicomFile& file, std::string& error);

// Parses `path` in a child process and carries the result (or the reason of
// the refusal, or how the library failed) back. Where processes cannot be
// forked, parses here.
bool readDicomFile(const std::string& path, DicomFile& file, std::string& error);

// Reads several files in one child process (one fork for all: a live run's
// slice files come in dozens): a result for each path, in order. A file the
// library aborts on is refused as such and the rest read in a new child.
struct DicomRead {
    bool ok = false;
    DicomFile file;
    std::string error;  // names the file, when !ok
};
void readDicomFiles(const std::vector<std::string>& paths, std::vector<DicomRead>& results);

}  // namespace korvanth
