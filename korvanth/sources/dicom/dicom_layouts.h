// The layouts a DICOM file can hold its slices in, each turned into the
// slices of a DicomFile: a Siemens mosaic (tiles in one image, their count
// and normal in the CSA header), a UIH mosaic (tiles with their positions in
// a private sequence), an enhanced multi-frame image (a frame per slice, a
// whole series or volume), a classic image (one slice).
#pragma once

#include "korvanth/sources/dicom/dicom_file.h"

#include <gdcmDataSet.h>

#include <string>
#include <vector>

namespace korvanth::dicom {

// The decoded pixel values of every frame, converted to int16 (valueRule).
struct Pixels {
    int32_t columns = 0, rows = 0, frames = 0;
    std::vector<int16_t> values;  // frames x rows x columns

    // The `columns` x `rows` block of frame `frame` whose first pixel is (x, y).
    std::vector<int16_t> block(int32_t frame, int32_t x, int32_t y, int32_t width, int32_t height) const;
};

// Each fills `file.slices` (and what the layout records of the grid) from
// `pixels`, or says why it cannot. `file` holds the data set's common values.
bool readSiemensMosaic(const gdcm::DataSet& ds, const Pixels& pixels, DicomFile& file, std::string& why);
bool readUihMosaic(const gdcm::DataSet& ds, const Pixels& pixels, DicomFile& file, std::string& why);
bool readMultiFrame(const gdcm::DataSet& ds, const Pixels& pixels, DicomFile& file, std::string& why);
bool readClassic(const gdcm::DataSet& ds, const Pixels& pixels, DicomFile& file, std::string& why);

}  // namespace korvanth::dicom
