#include "korvanth/sources/dicom/dicom_volume_reader.h"

namespace korvanth {

bool DicomVolumeReader::recognises(const std::string& path) const { return looksLikeDicom(path); }

void DicomVolumeReader::readTogether(const std::vector<std::string>& paths) {
    std::vector<DicomRead> reads;
    readDicomFiles(paths, reads);
    readTogether_.clear();  // what the last look read and did not take is past
    for (std::size_t i = 0; i < paths.size(); ++i) readTogether_[paths[i]] = std::move(reads[i]);
}

bool DicomVolumeReader::read(const std::string& path, VolumeFile& file, std::string& error) {
    const auto found = readTogether_.find(path);
    if (found == readTogether_.end()) {
        error = path + ": not read with the files due";
        return false;
    }
    const DicomRead& read = found->second;
    file.seriesUid = read.file.seriesUid;
    if (read.ok) return true;
    error = read.error;
    file.notAVolume = read.file.notAnImage;
    return false;
}

bool DicomVolumeReader::take(const std::string& path, VolumeFile&& file, std::vector<VolumeFile>& volumes,
                             std::string& why) {
    (void)file;
    const auto found = readTogether_.find(path);
    if (found == readTogether_.end() || !found->second.ok) {
        why = path + ": not read in full";
        return false;
    }
    DicomFile dicom = std::move(found->second.file);
    readTogether_.erase(found);
    const int64_t changed = dicom.changedValues;
    if (!assembly_.add(std::move(dicom), why)) return false;
    changedValues_ += changed;  // said once, when the run ends
    for (AssembledVolume& volume : assembly_.takeComplete()) {
        VolumeFile v;
        v.info = std::move(volume.info);
        v.voxels = std::move(volume.voxels);
        v.seriesUid = std::move(volume.seriesUid);
        v.seriesNumber = volume.seriesNumber;
        v.seriesDescription = std::move(volume.seriesDescription);
        v.otherKind = std::move(volume.otherKind);
        v.instanceNumber = v.acquisitionNumber = volume.key;
        v.repetitionTimeRecorded = volume.repetitionTimeRecorded;
        v.files = std::move(volume.files);
        volumes.push_back(std::move(v));
    }
    return true;
}

std::string DicomVolumeReader::closingNote() const {
    if (changedValues_ <= 0) return {};
    return std::to_string(changedValues_) + " stored values of the run were changed by the value rule (" + valueRule +
           ")";
}

}  // namespace korvanth
