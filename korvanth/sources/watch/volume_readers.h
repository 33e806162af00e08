// The readers of the volume file formats this build reads, in the order a
// file's content is tried against them. Which formats a build has is chosen
// where it is built: the DICOM reader comes with the DICOM library.
#pragma once

#include "korvanth/sources/volume_file_reader.h"

#include <memory>
#include <vector>

namespace korvanth {

std::vector<std::unique_ptr<VolumeFileReader>> volumeFileReaders();

}  // namespace korvanth
