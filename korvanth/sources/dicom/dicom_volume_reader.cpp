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

namespace {
std::string kindOf(const DicomFile& file) { return file.otherKind + "|" + file.companionKind; }
}  // namespace

// The series `file` joins: its own, else one it continues (the assembly
// takes a consecutive series of the same description), else a new one.
DicomVolumeReader::Series* DicomVolumeReader::seriesOf(const DicomFile& file) {
    for (Series& s : series_)
        if (s.seriesUid == file.seriesUid && s.studyUid == file.studyUid && s.kind == kindOf(file)) return &s;
    for (Series& s : series_) {
        std::string why;
        if (!s.ended && s.studyUid == file.studyUid && s.kind == kindOf(file) && s.assembly.started() &&
            s.assembly.accepts(file, why))
            return &s;
    }
    series_.push_back({file.studyUid, file.seriesUid, kindOf(file), VolumeAssembly{}, false});
    return &series_.back();
}

void DicomVolumeReader::handOver(const Series& series, std::vector<AssembledVolume>&& complete,
                                 std::vector<VolumeFile>& volumes) {
    for (AssembledVolume& volume : complete) {
        VolumeFile v;
        v.info = std::move(volume.info);
        v.voxels = std::move(volume.voxels);
        v.studyUid = series.studyUid;
        v.seriesUid = std::move(volume.seriesUid);
        v.seriesNumber = volume.seriesNumber;
        v.echoNumber = volume.echoNumber;
        v.seriesDescription = std::move(volume.seriesDescription);
        v.otherKind = std::move(volume.otherKind);
        const std::size_t bar = series.kind.find('|');
        if (bar + 1 < series.kind.size()) {
            v.otherKind = series.kind.substr(bar + 1);
            v.besideRun = true;
        }
        v.instanceNumber = v.acquisitionNumber = volume.key;
        v.clamped = volume.changedValues;
        v.repetitionTimeRecorded = volume.repetitionTimeRecorded;
        v.acquisitionSeconds = volume.acquisitionSeconds;
        v.files = std::move(volume.files);
        volumes.push_back(std::move(v));
    }
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
    Series& series = *seriesOf(dicom);
    if (!series.assembly.add(std::move(dicom), why)) return false;
    handOver(series, series.assembly.takeComplete(), volumes);
    return true;
}

void DicomVolumeReader::seriesEnded(const std::string& seriesUid) {
    for (Series& s : series_)
        if (s.seriesUid == seriesUid) s.ended = true;
}

bool DicomVolumeReader::finishSeries(const std::string& seriesUid, std::vector<VolumeFile>& volumes) {
    for (Series& s : series_) {
        if (s.seriesUid != seriesUid) continue;
        handOver(s, s.assembly.takeComplete(true), volumes);
        if (!s.assembly.incompleteKeys().empty()) return false;
    }
    return true;
}

int64_t DicomVolumeReader::firstIncompleteVolume(const std::string& seriesUid) const {
    int64_t first = -1;
    for (const Series& s : series_) {
        if (s.seriesUid != seriesUid) continue;
        for (const int64_t key : s.assembly.incompleteKeys())
            if (first < 0 || key < first) first = key;
    }
    return first;
}

std::string DicomVolumeReader::incompleteVolumes(const std::string& seriesUid) const {
    std::string joined;
    for (const Series& s : series_)
        if (s.seriesUid == seriesUid)
            for (const std::string& incomplete : s.assembly.incompleteVolumes())
                joined += (joined.empty() ? "" : "; ") + incomplete;
    return joined;
}

}  // namespace korvanth
