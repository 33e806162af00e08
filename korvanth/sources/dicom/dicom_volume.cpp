#include "korvanth/sources/dicom/dicom_volume.h"

#include "korvanth/sources/dicom/dicom_file.h"
#include "korvanth/sources/dicom/volume_assembly.h"
#include "korvanth/sources/input_file.h"

#include <new>

namespace korvanth {

namespace {

bool readVolume(const std::string& path, DicomVolume& volume, std::string& error) {
    DicomFile file;
    if (!readDicomFile(path, file, error)) {
        volume.notAnImage = file.notAnImage;
        return false;
    }
    if (!file.wholeVolumes && file.slicesPerVolume != 1) {
        error = path + ": one slice of a volume (a file per slice), not a volume of its own";
        return false;
    }
    volume.seriesInstanceUid = file.seriesUid;
    volume.seriesNumber = file.seriesNumber;
    volume.seriesDescription = file.seriesDescription;
    volume.instanceNumber = static_cast<int32_t>(file.instanceNumber);
    volume.acquisitionNumber = static_cast<int32_t>(file.acquisitionNumber);
    VolumeAssembly assembly;
    if (!assembly.add(std::move(file), error)) return false;
    std::vector<AssembledVolume> volumes = assembly.takeComplete(true);
    if (volumes.size() != 1 || !assembly.incompleteKeys().empty()) {
        error =
            path + ": holds " + std::to_string(volumes.size() + assembly.incompleteKeys().size()) + " volumes, not one";
        return false;
    }
    volume.info = volumes.front().info;
    volume.info.title = path;
    volume.voxels = std::move(volumes.front().voxels);
    volume.repetitionTimeRecorded = volumes.front().repetitionTimeRecorded;
    volume.clamped = volumes.front().changedValues;
    return true;
}

}  // namespace

bool readDicomVolume(const std::string& path, DicomVolume& volume, std::string& error) {
    volume = DicomVolume{};
    try {
        return readVolume(path, volume, error);
    } catch (const std::bad_alloc&) {
        volume = DicomVolume{};
        error = memoryRefused(path);
        return false;
    }
}

}  // namespace korvanth
