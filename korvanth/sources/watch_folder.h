// A live run: the volumes as the scanner's real-time export writes them into
// a folder (NIfTI after conversion, a file per volume; DICOM, a file per
// volume, slice or series, joined into volumes by volume_assembly.h), often
// on a network share. Files are told apart by their content, never by name.
//
// The folder is polled (inotify does not see writes made over SMB or NFS).
// A file is taken once its size and modification time stayed the same from
// one poll to the next and it reads in full; a file that stops changing but
// never reads in full is unreadable. The first volume fixes the series and
// how volumes are numbered: by the export's file names
// <session>_<series:06>_<volume:06>.<ext>, else by the DICOM volume key the
// assembly gives, else in the natural order of the names. Files of other
// series are ignored; so are the files that were there before the run began,
// unless asked for. The plug-in needs one step per volume, in order: a gap in
// the numbering, an unreadable volume or a volume on another grid ends the run
// (Failed), with the volumes before it kept.
#pragma once

#include "korvanth/run/volume_source.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace korvanth {

struct WatchSettings {
    std::string folder;
    bool includeExisting = false;        // take the files already in the folder as the run's first volumes
    double repetitionTimeSeconds = 0.0;  // > 0: the TR, whatever the files record (the timeouts follow it)
    int32_t volumeLimit = 0;             // end after this many volumes; 0: no limit
    double idleTimeoutSeconds = -1.0;    // end when no volume came for this long; < 0: 3 TR + 10 s
                                         // (before the first volume: wait until stopped)
    double pollSeconds = 0.005;          // adds at most two intervals to each volume's latency
    double unreadableSeconds = -1.0;     // a file unchanged but unreadable this long fails the run; < 0: max(2 s, TR)
    double gapSeconds = -1.0;  // a later volume ready while the next is missing this long is a gap; < 0: max(2 s, TR)
    std::function<void(const std::string&)> log;  // what the source noticed: ignored files, waits
};

// The numbers in a real-time export's file name <session>_<series:06>_<volume:06>.<ext>;
// false for any other name.
bool exportFileNumbers(const std::string& name, int64_t& series, int64_t& volume);

// Natural order of names: runs of digits compare as numbers ("v2" < "v10").
bool naturalLess(const std::string& a, const std::string& b);

// One volume file read as the source reads it (DICOM or NIfTI, told apart by
// their content), with what orders it in its series.
struct VolumeFile {
    SeriesInfo info;
    std::vector<int16_t> voxels;
    std::string seriesUid;  // DICOM series instance UID; empty for NIfTI
    int64_t instanceNumber = -1;
    int64_t acquisitionNumber = -1;
    bool repetitionTimeRecorded = false;
    bool notAVolume = false;  // set when the read failed: neither DICOM nor NIfTI, or DICOM without an image
};
bool readVolumeFile(const std::string& path, VolumeFile& file, std::string& error);

class WatchFolderSource final : public VolumeSource {
public:
    explicit WatchFolderSource(WatchSettings settings);
    ~WatchFolderSource() override;

    // Notes the files already there (unless they are to be included) and
    // waits for the first volume; fails when the folder cannot be read, when
    // stopped, or when the idle timeout was given and passed.
    bool open(SeriesInfo& series, std::string& error) override;
    Next next(std::vector<int16_t>& volume, std::string& error) override;
    VolumeArrival lastArrival() const override;

    // The files handed over, in order.
    const std::vector<std::string>& files() const { return handedFiles_; }
    // Whether the first volume's file recorded the TR (else 2 s was assumed).
    bool repetitionTimeRecorded() const { return repetitionTimeRecorded_; }

private:
    struct State;
    WatchSettings settings_;
    std::unique_ptr<State> state_;
    std::vector<std::string> handedFiles_;
    bool repetitionTimeRecorded_ = false;
};

}  // namespace korvanth
