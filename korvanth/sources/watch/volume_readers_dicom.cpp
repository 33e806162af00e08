// A build with the DICOM library: DICOM, then NIfTI.
#include "korvanth/sources/dicom/dicom_volume_reader.h"
#include "korvanth/sources/nifti_volume_reader.h"
#include "korvanth/sources/watch/volume_readers.h"

namespace korvanth {

std::vector<std::unique_ptr<VolumeFileReader>> volumeFileReaders() {
    std::vector<std::unique_ptr<VolumeFileReader>> readers;
    readers.push_back(std::make_unique<DicomVolumeReader>());
    readers.push_back(std::make_unique<NiftiVolumeReader>());
    return readers;
}

}  // namespace korvanth
