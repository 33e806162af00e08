// A folder's DICOM files, whatever the layout (a file per volume, per slice
// or per series), joined into volumes by the volume assembly. The files due
// at one look at the folder are read together, in one child process.
//
// Each series has an assembly of its own, so that a folder holding several
// (a session's) is read whatever its order: a file goes to the assembly of
// its study, kind (DicomFile::otherKind, companionKind) and series, or of
// the series it continues (XA interoperability), else begins one.
#pragma once

#include "korvanth/sources/dicom/dicom_file.h"
#include "korvanth/sources/dicom/volume_assembly.h"
#include "korvanth/sources/volume_file_reader.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace korvanth {

class DicomVolumeReader final : public VolumeFileReader {
public:
    // By a 128-byte preamble and "DICM".
    bool recognises(const std::string& path) const override;
    bool readsTogether() const override { return true; }
    void readTogether(const std::vector<std::string>& paths) override;
    bool read(const std::string& path, VolumeFile& file, std::string& error) override;
    // Each volume is numbered by its volume key (as instance and acquisition number).
    bool take(const std::string& path, VolumeFile&& file, std::vector<VolumeFile>& volumes, std::string& why) override;
    bool finishSeries(const std::string& seriesUid, std::vector<VolumeFile>& volumes) override;
    void seriesEnded(const std::string& seriesUid) override;
    int64_t firstIncompleteVolume(const std::string& seriesUid) const override;
    std::string incompleteVolumes(const std::string& seriesUid) const override;
    bool filesAlikeInSize() const override { return true; }

private:
    struct Series {
        std::string studyUid, seriesUid, kind;  // the first file's
        VolumeAssembly assembly;                // the files taken, towards whole volumes
        bool ended = false;                     // no other series joins it (seriesEnded)
    };
    Series* seriesOf(const DicomFile& file);
    static void handOver(const Series& series, std::vector<AssembledVolume>&& complete,
                         std::vector<VolumeFile>& volumes);

    std::vector<Series> series_;
    std::map<std::string, DicomRead> readTogether_;  // by path, until taken or the next look
};

}  // namespace korvanth
