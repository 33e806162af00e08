// A live run: the volumes as the scanner's real-time export writes them into
// a folder (NIfTI after conversion, a file per volume; DICOM, a file per
// volume, slice or series, joined into volumes by volume_assembly.h), often
// on a network share. Files are told apart by their content, never by name:
// each goes to the reader of its format among those of the build
// (volume_readers.h), taken when the source opens.
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
#include "korvanth/sources/watch/file_ledger.h"

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
    double pollSeconds = 0.005;          // how often the folder is looked at without system reports
    ArrivalDetection detection = ArrivalDetection::Automatic;
    // The time bounds as given; resolveWatchTimings has the defaults of
    // those not given (but the settle time's, which is FileArrivals').
    std::optional<double> idleTimeoutSeconds;     // end when no volume came for this long
    std::optional<double> settleSeconds;          // polling: unchanged this long counts as complete (FileArrivals)
    std::optional<double> unreadableSeconds;      // a file unchanged but unreadable this long is skipped
    std::optional<double> gapSeconds;             // a later volume ready while the next is missing this long is a gap
    std::optional<double> growingSeconds;         // a file still being written this long after it appeared is skipped
    std::function<void(const std::string&)> log;  // what the source noticed: ignored files, waits

    // Following a session (the source opened again for each series): a
    // volume of another series waits for its own run, and one of a series
    // not beside a run ends this run once none of the run's own is left to
    // come and its last volume is whole; the first volume is waited for this
    // long instead of the idle timeout (< 0: until stopped).
    bool endAtNewSeries = false;
    std::optional<double> firstVolumeTimeoutSeconds;
};

// The watch's time bounds, in seconds.
struct WatchTimings {
    double idleSeconds = 0.0;  // infinite: until stopped
    double unreadableSeconds = 0.0;
    double gapSeconds = 0.0;
    double growingSeconds = 0.0;
};

// The bounds given in `settings`, and the defaults of those not given: with
// the run's TR (known from its first volume: --tr, else the file's), idle
// 3 TR + 10 s, unreadable max(2 s, TR), gap and growing max(2 s, 2 TR);
// before the first volume (no TR), the first volume's wait (else the idle
// timeout given, else until stopped), unreadable and gap 2 s, growing 10 s.
WatchTimings resolveWatchTimings(const WatchSettings& settings, std::optional<double> repetitionTimeSeconds);

// Which series a volume file belongs to: `key` tells series apart (the
// export's name but the volume number, else the DICOM study and series
// UIDs, a run of XA interoperability series keeping its first's); `number` and
// `description` name it (-1 and "" where the files do not say).
struct SeriesIdentity {
    std::string key;
    int64_t number = -1;
    std::string description;
    std::string otherKind;  // why the series is not a functional run, as its files say; empty otherwise
};

class WatchFolderSource final : public VolumeSource {
public:
    explicit WatchFolderSource(WatchSettings settings);
    ~WatchFolderSource() override;

    // Notes the files already there (unless they are to be included) and
    // waits for the first volume; fails when the folder cannot be read, when
    // stopped, or when the idle timeout was given and passed. Opened again,
    // it goes on to the next series: every file is read once, whatever the
    // number of series; the series opened before are over, and the one whose
    // first file came first among those read is the next.
    bool open(SeriesInfo& series, std::string& error) override;
    Next next(std::vector<int16_t>& volume, std::string& error) override;
    VolumeArrival lastArrival() const override;
    int64_t changedValues() const override { return changedValues_; }

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
    // Where every file that appeared ended, so far.
    const FileLedger& ledger() const;
    // After a run: the later echoes of its series (same series UID, echo
    // number above 1, the run's grid), each with at most `volumeCount`
    // volumes in their order. Their files are the run's from now on, and
    // their series are past: never a series of their own.
    std::vector<EchoSeries> takeLaterEchoes(int32_t volumeCount);

private:
    struct State;
    WatchSettings settings_;
    std::unique_ptr<State> state_;
    std::vector<std::string> handedFiles_;
    int64_t changedValues_ = 0;  // of this run's volumes
    bool repetitionTimeRecorded_ = false;
};

}  // namespace korvanth
