// A build without the DICOM library: NIfTI only.
#include "korvanth/sources/watch/volume_readers.h"

#include "korvanth/sources/nifti_volume_reader.h"

namespace korvanth {

std::vector<std::unique_ptr<VolumeFileReader>> volumeFileReaders() {
    std::vector<std::unique_ptr<VolumeFileReader>> readers;
    readers.push_back(std::make_unique<NiftiVolumeReader>());
    return readers;
}

}  // namespace korvanth
