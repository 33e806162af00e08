// A live run: the volumes as the scanner's real-time export writes them into
// a folder (NIfTI after conversion, a file per volume; DICOM, a file per
// volume, slice or series, joined into volumes by volume_assembly.h), often
// on a network share. Files are told apart by their content, never by name.
//
// A file is taken once its writer is done with it (FileArrivals: closed
// after writing on a local folder, unchanged for a settle time on a network
// folder) and it reads in full. The first volume fixes the series and how
// volumes are numbered: by the export's file names
// <session>_<series:06>_<volume:06>.<ext>, else by the DICOM volume key the
// assembly gives, else in the natural order of the names. Files of other
// series are ignored; so are the files that were there before the run began,
// unless asked for. A file that stays unreadable, is still being written past
// a bound, or brings another grid, voxel size, orientation or data type is skipped with
// its reason, and the run goes on. The plug-in needs one step per volume, in
// order, so a volume that does not come is not papered over: a later volume
// ready while the next one is missing past the gap bound, or the idle timeout
// after a skipped file that may have been the next volume, ends the run
// (Failed) with the volumes before it kept and the missing volume named.
// Each file is read once; a volume read ahead of its turn is kept until then.
#pragma once

#include "korvanth/run/volume_source.h"
#include "korvanth/sources/file_names.h"
#include "korvanth/sources/watch/file_arrivals.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
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
    double pollSeconds = 0.005;          // how often the folder is looked at without system reports
    ArrivalDetection detection = ArrivalDetection::Automatic;
    double settleSeconds = -1.0;      // polling: unchanged this long counts as complete; < 0: FileArrivals' default
    double unreadableSeconds = -1.0;  // a file unchanged but unreadable this long is skipped; < 0: max(2 s, TR)
    double gapSeconds = -1.0;  // a later volume ready while the next is missing this long is a gap; < 0: max(2 s, 2 TR)
    double growingSeconds = -1.0;                 // a file still being written this long after it appeared is skipped;
                                                  // < 0: max(2 s, 2 TR) (10 s before the first volume)
    std::function<void(const std::string&)> log;  // what the source noticed: ignored files, waits

    // Following a session: files and series (SeriesIdentity::key) already
    // done with are passed over; a volume of a series not seen before ends
    // the run once none of the run's own is left to come; the first volume
    // is waited for this long instead of the idle timeout (< 0: until stopped).
    std::set<std::string> ignoredFiles;
    std::set<std::string> pastSeries;
    bool endAtNewSeries = false;
    std::optional<double> firstVolumeTimeoutSeconds;
};

// Which series a volume file belongs to: `key` tells series apart (the
// export name's series number, else the DICOM series UID); `number` and
// `description` name it (-1 and "" where the files do not say).
struct SeriesIdentity {
    std::string key;
    int64_t number = -1;
    std::string description;
    std::string otherKind;  // why the series is not a functional run, as its files say; empty otherwise
};

// One volume file read as the source reads it (DICOM or NIfTI, told apart by
// their content), with what orders it in its series.
struct VolumeFile {
    SeriesInfo info;
    std::vector<int16_t> voxels;
    std::string seriesUid;  // DICOM series instance UID; empty for NIfTI
    int64_t seriesNumber = -1;
    std::string seriesDescription;
    std::string otherKind;  // why the image is not of a functional run (DICOM); empty otherwise
    int64_t instanceNumber = -1;
    int64_t acquisitionNumber = -1;
    bool repetitionTimeRecorded = false;
    int64_t clamped = 0;      // values outside 16 bits, clamped
    std::string storedType;   // how the file stores its values (NIfTI: INT16, FLOAT32, ...); empty: not told
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
    // The run's series, known once open() succeeded.
    SeriesIdentity identity() const;
    // Whether open() failed because no volume came in the time allowed.
    bool timedOutWaiting() const;
    // Whether the run ended because another series began.
    bool newSeriesBegan() const;

private:
    struct State;
    WatchSettings settings_;
    std::unique_ptr<State> state_;
    std::vector<std::string> handedFiles_;
    bool repetitionTimeRecorded_ = false;
};

}  // namespace korvanth
