#include "korvanth/sources/watch/watch_folder.h"

#include "korvanth/run/clock.h"
#include "korvanth/sources/volume_file_reader.h"
#include "korvanth/sources/watch/file_arrivals.h"
#include "korvanth/sources/watch/file_ledger.h"
#include "korvanth/sources/watch/volume_readers.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>

namespace fs = std::filesystem;

namespace korvanth {

namespace {

using Clock = std::chrono::steady_clock;

std::string text(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g", value);
    return buffer;
}

// The keys that tell series apart (SeriesIdentity::key): an export's
// whole name but the volume's number (session and series), the DICOM study
// and series.
std::string exportSeriesKey(const std::string& series) { return "export series " + series; }
// Images beside a run are a series of their own (their kind with it).
std::string dicomSeriesKey(const VolumeFile& file) {
    return "DICOM series " + file.studyUid + " " + file.seriesUid + (file.besideRun ? " (" + file.otherKind + ")" : "");
}

// The export name <session>_<series>_<volume>.<ext> without its volume.
std::string exportSeriesName(const std::string& name) { return name.substr(0, name.rfind('_')); }

}  // namespace

WatchTimings resolveWatchTimings(const WatchSettings& settings, std::optional<double> repetitionTimeSeconds) {
    constexpr double shortest = 2.0;  // however short the TR (before the first volume, none is known)
    const double tr = repetitionTimeSeconds.value_or(0.0);
    WatchTimings t;
    t.unreadableSeconds = settings.unreadableSeconds.value_or(std::max(shortest, tr));
    t.gapSeconds = settings.gapSeconds.value_or(std::max(shortest, 2.0 * tr));
    if (repetitionTimeSeconds) {
        t.idleSeconds = settings.idleTimeoutSeconds.value_or(3.0 * tr + 10.0);
        t.growingSeconds = settings.growingSeconds.value_or(std::max(shortest, 2.0 * tr));
    } else {
        const double wait = settings.firstVolumeTimeoutSeconds.value_or(settings.idleTimeoutSeconds.value_or(-1.0));
        t.idleSeconds = wait >= 0.0 ? wait : std::numeric_limits<double>::infinity();
        t.growingSeconds = settings.growingSeconds.value_or(10.0);
    }
    return t;
}

namespace {

// A file seen in the folder and not yet read in full.
struct Seen {
    uintmax_t size = 0;
    fs::file_time_type modified{};
    Clock::time_point firstSeen;  // when the folder first showed it
    Clock::time_point changedAt;  // when it was last found changed (or new)
    bool stable = false;          // complete as its writer left it (FileArrivals)
    bool failed = false;          // read since its last change, and not in full
    int failures = 0;             // reads that failed since its last change
    Clock::time_point lastAttempt;
    std::string lastError;
    bool named = false;  // the export's name numbers, below
    int64_t nameSeries = -1;
    int64_t nameVolume = -1;
    std::string nameKey;  // exportSeriesName
};

// A volume read in full, waiting for its turn.
struct Ready {
    std::string name;
    uintmax_t size = 0;
    VolumeFile file;
    VolumeArrival arrival;
    fs::file_time_type modified{};
    bool named = false;
    int64_t nameSeries = -1;
    int64_t nameVolume = -1;
    std::string nameKey;
};

// A file that could have been one of the run's volumes and was refused.
struct Refusal {
    std::string name;
    std::string reason;   // names the file
    int64_t number = -1;  // its volume number where known (by name, or as read); -1: unknown
    // Refused by its reader though of the run's series (another grid, a
    // slice the volumes do not have): lost whatever comes after it.
    bool lost = false;
};

enum class Numbering { FileName, Instance, Acquisition, Natural };

const char* numberingName(Numbering n) {
    switch (n) {
        case Numbering::FileName:
            return "the export's file names";
        case Numbering::Instance:
            return "the DICOM instance numbers";
        case Numbering::Acquisition:
            return "the DICOM acquisition numbers";
        case Numbering::Natural:
            return "the natural order of the file names";
    }
    return "";
}

}  // namespace

struct WatchFolderSource::State {
    std::unique_ptr<FileArrivals> arrivals;
    std::vector<std::unique_ptr<VolumeFileReader>> readers;  // each file goes to the first that recognises it
    bool filesAlikeInSize = false;                           // as a reader's are (VolumeFileReader)
    std::map<std::string, Seen> seen;
    std::vector<Ready> ready;
    FileLedger ledger;
    // Following a session: the volumes of series other than the run's, kept
    // for their own runs, and the series opened before (SeriesIdentity::key).
    std::vector<Ready> waiting;
    std::set<std::string> pastSeries;
    std::vector<Refusal> refused;  // since the volume they could have been was due

    bool fixed = false;  // the series, fixed by the first volume
    Numbering numbering = Numbering::Natural;
    int64_t nameSeries = -1;
    std::string nameKey;
    std::string seriesUid;
    SeriesInfo reference;         // the first volume's grid and geometry
    std::string referenceType;    // and how it stores its values
    uintmax_t referenceSize = 0;  // of the first volume's file
    WatchTimings timings;         // before the first volume, then the run's (resolveWatchTimings)

    int32_t handed = 0;
    int64_t lastKey = 0;
    std::string lastName;
    std::string firstName;  // the volume open() chose to begin with
    // Files their reader refused before the run's series was known, by series UID.
    std::vector<std::pair<std::string, Refusal>> refusedBeforeSeries;
    Clock::time_point lastHandedAt;
    VolumeArrival arrival;
    ArrivalTimeline timeline;  // of the volumes handed over
    bool gapWaiting = false;
    Clock::time_point gapSince;
    bool timedOut = false;   // open() gave up waiting for a first volume
    bool newSeries = false;  // a volume of a series not seen before is here
    Clock::time_point newSeriesSince;
    SeriesIdentity identity;

    // The series a ready volume belongs to.
    static SeriesIdentity identityOf(const Ready& r) {
        SeriesIdentity id;
        id.key = r.named ? exportSeriesKey(r.nameKey) : dicomSeriesKey(r.file);
        id.number = r.named ? r.nameSeries : r.file.seriesNumber;
        id.description = r.file.seriesDescription;
        id.otherKind = r.file.otherKind;
        return id;
    }

    int64_t keyOf(const Ready& r) const {
        switch (numbering) {
            case Numbering::FileName:
                return r.nameVolume;
            case Numbering::Instance:
                return r.file.instanceNumber;
            case Numbering::Acquisition:
                return r.file.acquisitionNumber;
            case Numbering::Natural:
                break;
        }
        return 0;
    }

    // Why a file named so is not of the run's series, numbered by the
    // export's names; empty when it is.
    std::string otherSeriesByName(bool named, int64_t series, const std::string& key) const {
        if (named && key == nameKey) return {};
        return named ? "series " + std::to_string(series) + " by its name, the run's is " + std::to_string(nameSeries)
                     : "its name is not numbered as the run's files are";
    }

    // Why `r` is not of the run's series; empty when it is.
    std::string otherSeries(const Ready& r) const {
        if (numbering == Numbering::FileName && !otherSeriesByName(r.named, r.nameSeries, r.nameKey).empty())
            return otherSeriesByName(r.named, r.nameSeries, r.nameKey);
        if (r.file.seriesUid != seriesUid)
            return "DICOM series " + (r.file.seriesUid.empty() ? std::string("(none)") : r.file.seriesUid) +
                   ", the run's is " + (seriesUid.empty() ? std::string("(none)") : seriesUid);
        if (identityOf(r).key != identity.key) return "of " + identityOf(r).key + ", the run's is " + identity.key;
        if (numbering != Numbering::Natural && keyOf(r) < 0) return "it carries no volume number";
        return {};
    }

    void note(const WatchSettings& settings, const std::string& message) const {
        if (settings.log) settings.log(message);
    }

    // Never looks at `name` again.
    void ignore(const std::string& name) { arrivals->forget(name); }
    // Never looks at `name` again, and it is ignored for `reason` (file_ledger.h).
    void ignore(const std::string& name, const char* reason) {
        ignore(name);
        ledger.ignore(name, reason);
    }
    // The files of volume `r` are of the series `key`.
    void place(const Ready& r, const std::string& key) {
        if (r.file.files.empty()) ledger.place(r.name, key);
        for (const std::string& part : r.file.files) ledger.place(fs::path(part).filename().string(), key);
    }

    // Skips a file that could have been one of the run's volumes, saying why;
    // whether its volume goes missing is the ordering's judgement.
    void refuse(const WatchSettings& settings, const std::string& name, int64_t number, const std::string& reason) {
        note(settings, "skipping " + reason);
        refused.push_back({name, reason, number});
        seen.erase(name);
        ignore(name, ignoredBecause::damaged);
    }

    // The refusals that may be the volume numbered `expected` (those of no
    // known number too, unless the run's volumes are numbered by their names:
    // a stray file of no export name is none of them), or all of them; joined
    // for a message, empty when none.
    std::string refusalsFor(int64_t expected, bool all = false) const {
        std::string joined;
        for (const Refusal& r : refused)
            if (all || r.number == expected || (r.number < 0 && numbering != Numbering::FileName))
                joined += (joined.empty() ? "" : "; ") + r.reason;
        return joined;
    }

    // Whether a file is known, before it is read, not to be of the run's
    // series: by its export name, once the series is fixed.
    bool skipUnread(const WatchSettings& settings, const std::string& name, const Seen& s) {
        if (s.named && pastSeries.count(exportSeriesKey(s.nameKey)) > 0) {
            note(settings, "ignoring " + name + ": of export series " + s.nameKey + ", which the session has seen");
            ledger.place(name, exportSeriesKey(s.nameKey));
            return true;
        }
        if (!fixed || numbering != Numbering::FileName) return false;
        if (settings.endAtNewSeries) return false;  // read: it may begin a later run
        const std::string other = otherSeriesByName(s.named, s.nameSeries, s.nameKey);
        if (!other.empty()) {
            note(settings, "ignoring " + name + ": " + other);
            ledger.ignore(name, ignoredBecause::anotherSeries);
        }
        return !other.empty();
    }

    // The volume `r`, handed over next, on the series' timeline; a volume
    // that came more than a TR late is warned of.
    void placeOnTimeline(const WatchSettings& settings, const Ready& r) {
        arrival.timeline = timeline.add(r.file.acquisitionSeconds, r.arrival.completed);
        if (arrival.timeline.late)
            note(settings, "warning: volume " + std::to_string(handed + 1) + " (" + r.name + ") came " +
                               text(arrival.timeline.lateBySeconds) +
                               " s later than the volume before it, beyond their acquisitions' spacing: more than a "
                               "TR late from the scanner");
    }

    bool begin(const WatchSettings& settings, std::string& error);
    bool poll(const WatchSettings& settings, double seconds, std::string& error);
    void dropLate(const WatchSettings& settings);
    std::vector<Ready>::iterator nextReady(const WatchSettings& settings, std::string& missing);
    void refuseGrowing(const WatchSettings& settings);
    void readStable(const WatchSettings& settings);
    bool due(const Seen& s, Clock::time_point now) const;
    VolumeFileReader* readerOf(const std::string& path) const;
    std::map<std::string, VolumeFileReader*> readTogether(const WatchSettings& settings);
    void failedRead(const WatchSettings& settings, const std::string& name, Seen& s, const Ready& r,
                    const std::string& error);
    void takeFile(const WatchSettings& settings, VolumeFileReader& reader, const std::string& path, Ready&& read);
    void take(const WatchSettings& settings, Ready&& r);
    void takeVolumes(const WatchSettings& settings, const Ready& read, std::vector<VolumeFile>& volumes);
    bool otherSeriesWaits(const WatchSettings& settings, Ready& r, const SeriesIdentity& of);
    void reopen(const WatchSettings& settings);
    bool finishRun(const WatchSettings& settings);
    std::string changedGeometry(const VolumeFile& file) const;
    bool laterEchoOfRun(const VolumeFile& f) const;
    bool laterEchoShort(int32_t volumeCount) const;
    void fixSeries(const WatchSettings& settings, const Ready& newest);
    const Ready* pickFirst() const;
    bool earlierVolumeUnderway() const;
    std::string lostAtIdle() const;
    std::string lostFiles() const;
};

WatchFolderSource::WatchFolderSource(WatchSettings settings)
    : settings_(std::move(settings)), state_(std::make_unique<State>()) {}
WatchFolderSource::~WatchFolderSource() = default;

VolumeArrival WatchFolderSource::lastArrival() const { return state_->arrival; }

// One look at the folder after waiting at most `seconds`: new files,
// changed files, files gone, as FileArrivals judges them. False when the
// folder cannot be listed.
bool WatchFolderSource::State::poll(const WatchSettings& settings, double seconds, std::string& error) {
    if (!arrivals->update(seconds, error)) return false;
    std::vector<std::string> notVolumes;
    for (const auto& [name, file] : arrivals->files()) {
        auto [found, inserted] = seen.try_emplace(name);
        Seen& s = found->second;
        if (inserted) {
            ledger.appeared(name);
            int64_t series = 0, volume = 0;
            s.named = exportFileNumbers(name, series, volume);
            if (s.named) {
                s.nameSeries = series;
                s.nameVolume = volume;
                s.nameKey = exportSeriesName(name);
            }
            if (skipUnread(settings, name, s)) {
                seen.erase(found);
                notVolumes.push_back(name);
                continue;
            }
        } else if (s.size != file.size || s.modified != file.modified) {
            s.failed = false;
            s.failures = 0;
        }
        s.size = file.size;
        s.modified = file.modified;
        s.firstSeen = file.firstSeen;
        s.changedAt = file.changedAt;
        s.stable = file.complete;
    }
    for (const std::string& name : notVolumes) ignore(name);  // skipUnread said why
    for (auto s = seen.begin(); s != seen.end();) {
        if (arrivals->files().count(s->first) > 0) {
            ++s;
            continue;
        }
        ledger.ignore(s->first, ignoredBecause::goneBeforeRead);
        s = seen.erase(s);
    }
    return true;
}

// A file still being written past the bound is refused: a writer that never
// stops holds no volume, and no later one, back.
void WatchFolderSource::State::refuseGrowing(const WatchSettings& settings) {
    const Clock::time_point now = Clock::now();
    std::vector<std::pair<std::string, int64_t>> growing;
    for (const auto& [name, s] : seen)
        if (!s.stable && secondsBetween(s.firstSeen, now) >= timings.growingSeconds)
            growing.emplace_back(name, s.nameVolume);
    for (const auto& [name, volume] : growing)
        refuse(settings, name, volume,
               (fs::path(settings.folder) / name).string() + " is still being written after " +
                   text(timings.growingSeconds) + " s");
}

// Why `file` cannot join the run's volumes although of its series: another
// grid, voxel size, orientation or stored data type than the first volume's
// (converted to int16 alike, values of another type would pass unnoticed).
// Empty when none.
std::string WatchFolderSource::State::changedGeometry(const VolumeFile& file) const {
    if (!file.storedType.empty() && !referenceType.empty() && file.storedType != referenceType)
        return "values stored as " + file.storedType + ", the run's first volume's as " + referenceType;
    const SeriesInfo& a = file.info;
    const SeriesInfo& b = reference;
    const auto grid = [](const int32_t d[3]) {
        return std::to_string(d[0]) + "x" + std::to_string(d[1]) + "x" + std::to_string(d[2]);
    };
    if (a.dims[0] != b.dims[0] || a.dims[1] != b.dims[1] || a.dims[2] != b.dims[2])
        return "a " + grid(a.dims) + " grid, the run's is " + grid(b.dims);
    const auto sizes = [](const double v[3]) { return text(v[0]) + "x" + text(v[1]) + "x" + text(v[2]) + " mm"; };
    for (int axis = 0; axis < 3; ++axis)
        if (std::fabs(a.voxelSizeMm[axis] - b.voxelSizeMm[axis]) > 1e-4 * std::fabs(b.voxelSizeMm[axis]))
            return "voxels of " + sizes(a.voxelSizeMm) + ", the run's are " + sizes(b.voxelSizeMm);
    // The axes in space (direction times voxel size); the position may move.
    double ma[3][4], mb[3][4];
    voxelToWorld(a.geometry, ma);
    voxelToWorld(b.geometry, mb);
    for (int row = 0; row < 3; ++row)
        for (int column = 0; column < 3; ++column)
            if (std::fabs(ma[row][column] - mb[row][column]) > 1e-3)
                return "another orientation in space than the run's first volume";
    return {};
}

// Whether `s` is to be read now: stable, settled, not retried too soon.
bool WatchFolderSource::State::due(const Seen& s, Clock::time_point now) const {
    // Where files of a series are alike in size, a file still short of the
    // first volume's is left alone until it has not changed for a while: a
    // writer that pauses between chunks makes a file look unchanged from one
    // poll to the next. Files are not told apart before they are read, so
    // this holds for every file where such a reader is in use.
    const uintmax_t margin = 1024;
    const bool shortOfSeries = filesAlikeInSize && !(referenceSize > 0 && s.size + margin >= referenceSize);
    const double settleSeconds = referenceSize > 0 && shortOfSeries ? 0.5 : 0.0;
    // An unchanged file that did not read is tried again this often.
    const double retrySeconds = shortOfSeries ? 0.25 : 0.1;
    return s.stable && secondsBetween(s.changedAt, now) >= settleSeconds &&
           !(s.failed && secondsBetween(s.lastAttempt, now) < retrySeconds);
}

// The reader of `path`'s format, by its content; null when none knows it.
VolumeFileReader* WatchFolderSource::State::readerOf(const std::string& path) const {
    for (const auto& reader : readers)
        if (reader->recognises(path)) return reader.get();
    return nullptr;
}

// The due files of the readers that read files together, read now (DICOM:
// in one child process); by path, the reader that read each.
std::map<std::string, VolumeFileReader*> WatchFolderSource::State::readTogether(const WatchSettings& settings) {
    std::map<VolumeFileReader*, std::vector<std::string>> paths;
    std::map<std::string, VolumeFileReader*> readerOfPath;
    for (const auto& [name, s] : seen) {
        const std::string path = (fs::path(settings.folder) / name).string();
        if (!due(s, Clock::now())) continue;
        VolumeFileReader* reader = readerOf(path);
        if (reader == nullptr || !reader->readsTogether()) continue;
        paths[reader].push_back(path);
        readerOfPath[path] = reader;
    }
    for (const auto& reader : readers)
        if (reader->readsTogether()) reader->readTogether(paths[reader.get()]);
    return readerOfPath;
}

namespace {
// The volume `name` will be once read: its numbers by name, its arrival.
Ready readyFor(const std::string& name, const Seen& s, Clock::time_point now) {
    Ready r;
    r.name = name;
    r.size = s.size;
    r.modified = s.modified;
    r.named = s.named;
    r.nameSeries = s.nameSeries;
    r.nameVolume = s.nameVolume;
    r.nameKey = s.nameKey;
    r.arrival.known = true;
    r.arrival.detected = now;
    // The last write as a time on this clock: the modification time's age.
    const auto age = fs::file_time_type::clock::now() - s.modified;
    r.arrival.completed =
        now - std::chrono::duration_cast<Clock::duration>(std::max(age, fs::file_time_type::duration::zero()));
    return r;
}

// Whether the file is no longer as it was seen (or gone): it changed while
// it was read, and the next poll sees the change.
bool changedSince(const std::string& path, const Seen& s) {
    std::error_code statFailed;
    const uintmax_t size = fs::file_size(path, statFailed);
    const fs::file_time_type modified = fs::last_write_time(path, statFailed);
    return statFailed || size != s.size || modified != s.modified;
}
}  // namespace

// Reads the files their writers left complete, each by the reader of its
// format; those that read in full go to their reader, whose volumes join the
// ready ones (or, of another series, the ignored files). A file that stays
// unreadable, or changed its grid or geometry, is refused.
void WatchFolderSource::State::readStable(const WatchSettings& settings) {
    const Clock::time_point lookStarted = Clock::now();  // files read together are detected here, then read
    const std::map<std::string, VolumeFileReader*> readAlready = readTogether(settings);
    for (auto it = seen.begin(); it != seen.end();) {
        const std::string name = it->first;
        Seen& s = it->second;
        const Clock::time_point now = Clock::now();
        const std::string path = (fs::path(settings.folder) / name).string();
        const auto found = readAlready.find(path);
        const bool together = found != readAlready.end();
        VolumeFileReader* reader = together ? found->second : nullptr;
        if (!together) {
            if (!due(s, now)) {
                ++it;
                continue;
            }
            reader = readerOf(path);
            if (reader != nullptr && reader->readsTogether()) {
                ++it;  // due since its reader read: read with the next look's
                continue;
            }
        }
        Ready r = readyFor(name, s, together ? lookStarted : now);
        std::string readError;
        bool complete = false;
        if (reader != nullptr) {
            complete = reader->read(path, r.file, readError);
        } else {
            r.file.notAVolume = true;
            readError = path + ": neither DICOM nor NIfTI by its content";
        }
        r.arrival.read = Clock::now();
        if (changedSince(path, s)) {
            ++it;
            continue;
        }
        ++it;  // the file may leave `seen` below
        if (complete) {
            seen.erase(name);
            takeFile(settings, *reader, path, std::move(r));
        } else {
            failedRead(settings, name, s, r, readError);
        }
    }
}

// A file that did not read in full is tried again until it stayed so,
// unchanged, for the unreadable bound; then it is refused, or left alone
// when it is not an image at all.
void WatchFolderSource::State::failedRead(const WatchSettings& settings, const std::string& name, Seen& s,
                                          const Ready& r, const std::string& error) {
    s.failed = true;
    ++s.failures;
    s.lastAttempt = r.arrival.read;
    s.lastError = error;
    const double limit = timings.unreadableSeconds;
    // Tried a few times over the allowed time too (a host that stalled has
    // not looked at it long enough).
    const bool settled = s.failures >= 3 && secondsBetween(s.changedAt, r.arrival.read) >= limit;
    if (!settled) return;
    const bool ofAnotherSeries = fixed && !r.file.seriesUid.empty() && r.file.seriesUid != seriesUid;
    if (r.file.notAVolume || ofAnotherSeries) {
        // Not an image (a report, a presentation state, another file), or
        // not of the run's series, unchanged as long as an unreadable
        // volume: left alone; the run lost nothing.
        note(settings, "ignoring " + name + ": " + error);
        ignore(name, readerOf((fs::path(settings.folder) / name).string()) == nullptr ? ignoredBecause::notAnImage
                     : r.file.notAVolume                                              ? ignoredBecause::noPixelData
                                                                                      : ignoredBecause::damaged);
        seen.erase(name);
        return;
    }
    refuse(settings, name, s.nameVolume,
           (fs::path(settings.folder) / name).string() + " stays unreadable (unchanged for " + text(limit) +
               " s): " + error);
}

// Hands a file read in full to its reader: the volumes it completes are
// taken with the file's arrival. A volume joined from several files is
// numbered by its key, not by a name, and complete at the last write of any
// of them. The file is never read again; a refusal is said once.
void WatchFolderSource::State::takeFile(const WatchSettings& settings, VolumeFileReader& reader,
                                        const std::string& path, Ready&& read) {
    ignore(read.name);
    std::vector<VolumeFile> volumes;
    std::string why;
    const std::string uid = read.file.seriesUid;
    if (!reader.take(path, std::move(read.file), volumes, why)) {
        // Of the run's series, yet refused (another grid, a slice the volumes
        // do not have): the run lost what the file held. Before the run's
        // series is known, that waits for it.
        const Refusal refusal{read.name, why, read.named ? read.nameVolume : -1, true};
        if (fixed && !uid.empty() && uid == seriesUid) {
            refuse(settings, refusal.name, refusal.number, why);
            refused.back().lost = true;
        } else if (!fixed && !uid.empty()) {
            refusedBeforeSeries.emplace_back(uid, refusal);
            ledger.ignore(read.name, ignoredBecause::damaged);
        } else {
            note(settings, "ignoring " + read.name + ": " + why);
            ledger.ignore(read.name, ignoredBecause::damaged);
        }
        return;
    }
    takeVolumes(settings, read, volumes);
}

// The volumes a reader completed, taken with the arrival of `read` (the
// file that completed them), each complete at the last write of its files.
void WatchFolderSource::State::takeVolumes(const WatchSettings& settings, const Ready& read,
                                           std::vector<VolumeFile>& volumes) {
    for (VolumeFile& volume : volumes) {
        Ready r = read;
        r.file = std::move(volume);
        if (!r.file.files.empty()) r.named = r.named && r.file.files.size() == 1;
        for (const std::string& part : r.file.files) {
            std::error_code failed;
            const auto age = fs::file_time_type::clock::now() - fs::last_write_time(part, failed);
            const Clock::time_point written = Clock::now() - std::chrono::duration_cast<Clock::duration>(
                                                                 std::max(age, fs::file_time_type::duration::zero()));
            if (!failed && written > r.arrival.completed) r.arrival.completed = written;
        }
        take(settings, std::move(r));
    }
}

// A volume read in full joins the ready ones, unless it is of another series
// or changed its grid or geometry. Either way it is never read again.
void WatchFolderSource::State::take(const WatchSettings& settings, Ready&& r) {
    arrivals->forget(r.name);
    const SeriesIdentity of = identityOf(r);
    place(r, of.key);
    if (pastSeries.count(of.key) > 0) {
        note(settings, "ignoring " + r.name + ": of " + of.key + ", which the session has seen");
        return;
    }
    if (fixed) {
        const std::string other = otherSeries(r);
        if (of.key != identity.key && otherSeriesWaits(settings, r, of)) return;
        if (!other.empty()) {
            note(settings, "ignoring " + r.name + ": " + other);
            ignore(r.name, of.key != identity.key ? ignoredBecause::anotherSeries : ignoredBecause::damaged);
            return;
        }
        const std::string changed = changedGeometry(r.file);
        if (!changed.empty()) {
            refuse(settings, r.name, numbering == Numbering::Natural ? -1 : keyOf(r),
                   (fs::path(settings.folder) / r.name).string() + " has " + changed);
            return;
        }
    }
    ready.push_back(std::move(r));
}

// Another series began: the run's last volume, when whole now, joins the
// ready ones. True when nothing of the run is underway any more.
bool WatchFolderSource::State::finishRun(const WatchSettings& settings) {
    bool done = true;
    for (const auto& reader : readers) {
        std::vector<VolumeFile> volumes;
        done = reader->finishSeries(seriesUid, volumes) && done;
        if (volumes.empty()) continue;
        Ready read;
        read.name =
            fs::path(volumes.back().files.empty() ? std::string() : volumes.back().files.back()).filename().string();
        read.arrival.known = true;
        read.arrival.detected = read.arrival.read = Clock::now();
        takeVolumes(settings, read, volumes);
    }
    return done;
}

// Following a session, a volume of another series waits for its run; one
// not beside a run (phase images, a motion-corrected copy, another echo)
// ends this run. A later echo of the run's own series waits for the run's
// end (takeLaterEchoes), a single run's too. False when `r` is neither;
// when true, `r` has been moved into the waiting files.
bool WatchFolderSource::State::otherSeriesWaits(const WatchSettings& settings, Ready& r, const SeriesIdentity& of) {
    const bool laterEcho =
        r.file.besideRun && r.file.echoNumber > 1 && !seriesUid.empty() && r.file.seriesUid == seriesUid;
    if (!settings.endAtNewSeries && !laterEcho) return false;
    if (!r.file.besideRun && !newSeries) {
        note(settings, "a file of another series (" + of.key + ") came: " + r.name);
        newSeriesSince = Clock::now();
        newSeries = true;
    }
    waiting.push_back(std::move(r));
    return true;
}

// The run's series and numbering, from its first volume; the files read so
// far that are not of it are ignored from now on.
void WatchFolderSource::State::fixSeries(const WatchSettings& settings, const Ready& newest) {
    fixed = true;
    identity = identityOf(newest);
    seriesUid = newest.file.seriesUid;
    if (newest.named) {
        numbering = Numbering::FileName;
        nameSeries = newest.nameSeries;
        nameKey = newest.nameKey;
    } else if (newest.file.instanceNumber >= 0) {
        numbering = Numbering::Instance;
    } else if (newest.file.acquisitionNumber >= 0) {
        numbering = Numbering::Acquisition;
    } else {
        numbering = Numbering::Natural;
    }
    note(settings,
         "the series of " + newest.name + " is the run's; volumes are ordered by " + numberingName(numbering));
    for (const auto& [uid, refusal] : refusedBeforeSeries) {
        note(settings, (uid == seriesUid ? "skipping " : "ignoring ") + refusal.reason);
        if (uid == seriesUid) refused.push_back(refusal);
    }
    refusedBeforeSeries.clear();
    for (auto r = ready.begin(); r != ready.end();) {
        const SeriesIdentity of = identityOf(*r);
        const std::string other = otherSeries(*r);
        if (other.empty()) {
            ++r;
            continue;
        }
        Ready moved = std::move(*r);
        r = ready.erase(r);
        if (of.key != identity.key && otherSeriesWaits(settings, moved, of)) continue;
        note(settings, "ignoring " + moved.name + ": " + other);
        ignore(moved.name, of.key != identity.key ? ignoredBecause::anotherSeries : ignoredBecause::damaged);
    }
    // The first volume's grid and geometry are the run's.
    const Ready* first = pickFirst();
    firstName = first->name;
    referenceSize = first->size;
    reference = first->file.info;
    referenceType = first->file.storedType;
    for (auto r = ready.begin(); r != ready.end();) {
        const std::string changed = changedGeometry(r->file);
        if (changed.empty()) {
            ++r;
            continue;
        }
        refuse(settings, r->name, numbering == Numbering::Natural ? -1 : keyOf(*r),
               (fs::path(settings.folder) / r->name).string() + " has " + changed);
        r = ready.erase(r);
    }
    for (auto s = seen.begin(); s != seen.end();) {
        if (skipUnread(settings, s->first, s->second)) {
            ignore(s->first);
            s = seen.erase(s);
        } else {
            ++s;
        }
    }
}

// Whether a reader still joins a volume of a ready volume's series that
// comes before every ready volume of that series.
bool WatchFolderSource::State::earlierVolumeUnderway() const {
    for (const Ready& r : ready) {
        if (r.file.files.empty()) continue;  // a volume in a file of its own
        int64_t lowest = r.file.instanceNumber;
        for (const Ready& other : ready)
            if (other.file.seriesUid == r.file.seriesUid) lowest = std::min(lowest, other.file.instanceNumber);
        for (const auto& reader : readers) {
            const int64_t incomplete = reader->firstIncompleteVolume(r.file.seriesUid);
            if (incomplete >= 0 && incomplete < lowest) return true;
        }
    }
    return false;
}

// The first volume among the ready ones (all of the run's series).
const Ready* WatchFolderSource::State::pickFirst() const {
    const Ready* first = nullptr;
    for (const Ready& r : ready) {
        if (first == nullptr)
            first = &r;
        else if (numbering == Numbering::Natural ? naturalLess(r.name, first->name) : keyOf(r) < keyOf(*first))
            first = &r;
    }
    return first;
}

// The next series of a session: what the watch has read stays (each file
// is read once for the whole session); the series opened so far are past,
// their volumes placed in the ledger and dropped, the others' ready.
void WatchFolderSource::State::reopen(const WatchSettings& settings) {
    if (fixed) {
        pastSeries.insert(identity.key);
        for (const auto& reader : readers) reader->seriesEnded(seriesUid);
    }
    std::vector<Ready> kept;
    for (std::vector<Ready>* from : {&ready, &waiting})
        for (Ready& r : *from)
            if (pastSeries.count(identityOf(r).key) == 0) kept.push_back(std::move(r));
    ready = std::move(kept);
    waiting.clear();
    refused.clear();
    fixed = false;
    numbering = Numbering::Natural;
    nameSeries = -1;
    nameKey.clear();
    seriesUid.clear();
    referenceSize = 0;
    handed = 0;
    lastKey = 0;
    lastName.clear();
    gapWaiting = timedOut = newSeries = false;
    identity = SeriesIdentity{};
    timings = resolveWatchTimings(settings, std::nullopt);
}

// The watch's first open: the readers and the folder's arrivals; the files
// already there are passed over unless asked for.
bool WatchFolderSource::State::begin(const WatchSettings& settings, std::string& error) {
    readers = volumeFileReaders();
    filesAlikeInSize =
        std::any_of(readers.begin(), readers.end(), [](const auto& reader) { return reader->filesAlikeInSize(); });
    timings = resolveWatchTimings(settings, std::nullopt);
    ArrivalSettings arrivalSettings;
    arrivalSettings.folder = settings.folder;
    arrivalSettings.detection = settings.detection;
    arrivalSettings.settleSeconds = settings.settleSeconds;
    arrivals = std::make_unique<FileArrivals>(arrivalSettings);
    std::string how;
    if (!arrivals->open(how, error)) return false;
    note(settings, how);
    if (settings.includeExisting) return true;
    std::error_code failed;
    std::size_t count = 0;
    for (fs::directory_iterator it(settings.folder, failed); !failed && it != fs::directory_iterator();
         it.increment(failed)) {
        ignore(it->path().filename().string(), ignoredBecause::beforeTheSession);
        ++count;
    }
    if (failed) {
        error = settings.folder + ": cannot list the folder (" + failed.message() + ")";
        return false;
    }
    if (count > 0)
        note(settings,
             "ignoring the " + std::to_string(count) + " files already in the folder (--include-existing takes them)");
    return true;
}

bool WatchFolderSource::open(SeriesInfo& series, std::string& error) {
    State& st = *state_;
    handedFiles_.clear();
    changedValues_ = 0;
    if (!st.arrivals) {
        if (!st.begin(settings_, error)) return false;
    } else {
        st.reopen(settings_);
    }
    st.note(settings_, "waiting for the first volume in " + settings_.folder);
    const Clock::time_point opened = Clock::now();
    Clock::time_point firstSeen{};  // when a volume was first ready
    for (;;) {
        if (runStopRequested()) {
            error = settings_.folder + ": stopped before the first volume arrived";
            return false;
        }
        if (!st.poll(settings_, settings_.pollSeconds, error)) return false;
        st.refuseGrowing(settings_);
        st.readStable(settings_);
        if (!st.ready.empty()) {
            if (firstSeen == Clock::time_point{}) firstSeen = Clock::now();
            // Files already there are read in the looks they settle in: an
            // earlier volume may still lack slices a later one has.
            if (!st.earlierVolumeUnderway() || secondsBetween(firstSeen, Clock::now()) >= st.timings.gapSeconds) break;
        }
        if (st.ready.empty() && secondsBetween(opened, Clock::now()) >= st.timings.idleSeconds) {
            error = settings_.folder + ": no volume arrived in " + text(st.timings.idleSeconds) + " s";
            if (!st.refused.empty()) error += " (skipped: " + st.refusalsFor(-1, true) + ")";
            st.timedOut = true;
            return false;
        }
    }
    // The series of the newest file is the run's: with --include-existing
    // the folder may hold earlier series too. A session takes its series in
    // the order they came: the oldest file's. A single run is never of
    // images beside a run (a later echo) while others are there.
    const auto preferred = [&](const Ready& r, const Ready& than) {
        if (!settings_.endAtNewSeries && r.file.besideRun != than.file.besideRun) return !r.file.besideRun;
        return settings_.endAtNewSeries ? r.modified < than.modified : r.modified > than.modified;
    };
    const Ready* chosen = &st.ready.front();
    for (const Ready& r : st.ready)
        if (preferred(r, *chosen)) chosen = &r;
    const Ready reference = *chosen;
    st.refused.clear();  // before the run's series was known: not the run's volumes
    st.fixSeries(settings_, reference);
    const Ready* first =
        &*std::find_if(st.ready.begin(), st.ready.end(), [&](const Ready& r) { return r.name == st.firstName; });

    series = first->file.info;
    series.title = settings_.folder;
    series.expectedVolumes = settings_.volumeLimit > 0 ? settings_.volumeLimit : 0;
    repetitionTimeRecorded_ = first->file.repetitionTimeRecorded;
    if (settings_.repetitionTimeSeconds > 0.0) series.repetitionTimeSeconds = settings_.repetitionTimeSeconds;
    st.timings = resolveWatchTimings(settings_, series.repetitionTimeSeconds);
    st.timeline.begin(series.repetitionTimeSeconds);
    st.lastHandedAt = Clock::now();
    return true;
}

// Drops the ready volumes that came after their turn: they cannot be fed any more.
void WatchFolderSource::State::dropLate(const WatchSettings& settings) {
    for (auto r = ready.begin(); r != ready.end();) {
        const bool late =
            handed > 0 && (numbering == Numbering::Natural ? !naturalLess(lastName, r->name) : keyOf(*r) <= lastKey);
        if (!late) {
            ++r;
            continue;
        }
        note(settings, "ignoring " + r->name + ": it came after the volume that follows it (" + lastName + ")");
        ignore(r->name, ignoredBecause::duplicate);
        r = ready.erase(r);
    }
}

// What the run lost when no volume came for the idle time, joined; empty
// when it came to its end: a skipped file that may be the next volume, a
// file of its series refused, a volume short of files.
std::string WatchFolderSource::State::lostAtIdle() const {
    std::string lost = refusalsFor(lastKey + 1);
    const auto add = [&](const std::string& what) { lost += (lost.empty() ? "" : "; ") + what; };
    for (const Refusal& r : refused)
        if (r.lost && lost.find(r.reason) == std::string::npos) add(r.reason);
    for (const auto& reader : readers) {
        const std::string incomplete = reader->incompleteVolumes(seriesUid);
        if (!incomplete.empty()) add(incomplete);
    }
    return lost.empty() ? lost : "the run lost what follows: " + lost;
}

// The files of the run's series its readers refused, joined; empty when none.
std::string WatchFolderSource::State::lostFiles() const {
    std::string lost;
    for (const Refusal& r : refused)
        if (r.lost) lost += (lost.empty() ? "" : "; ") + r.reason;
    return lost;
}

// The ready volume whose turn it is; end() when it is not here yet. A later
// volume here while the next one is not starts the gap's clock, which
// nothing resets: `missing` is set once it ran out.
std::vector<Ready>::iterator WatchFolderSource::State::nextReady(const WatchSettings& settings, std::string& missing) {
    if (handed == 0)
        return std::find_if(ready.begin(), ready.end(), [&](const Ready& r) { return r.name == firstName; });
    if (numbering == Numbering::Natural) {
        auto chosen = ready.end();
        for (auto r = ready.begin(); r != ready.end(); ++r)
            if (chosen == ready.end() || naturalLess(r->name, chosen->name)) chosen = r;
        // A skipped file named between the last volume and this one was the next.
        for (const Refusal& f : refused)
            if (chosen != ready.end() && naturalLess(lastName, f.name) && naturalLess(f.name, chosen->name))
                missing = settings.folder + ": the volume after " + lastName + " is missing: " + f.reason;
        return chosen;
    }
    const int64_t expected = lastKey + 1;
    const auto chosen = std::find_if(ready.begin(), ready.end(), [&](const Ready& r) { return keyOf(r) == expected; });
    if (chosen != ready.end() || ready.empty()) {
        gapWaiting = false;
        return chosen;
    }
    const Clock::time_point now = Clock::now();
    if (!gapWaiting) {
        gapWaiting = true;
        gapSince = now;
    } else if (secondsBetween(gapSince, now) >= timings.gapSeconds) {
        const Ready& later = *std::min_element(ready.begin(), ready.end(),
                                               [&](const Ready& a, const Ready& b) { return keyOf(a) < keyOf(b); });
        missing = settings.folder + ": volume " + std::to_string(expected) + " is missing: " + later.name +
                  " (volume " + std::to_string(keyOf(later)) + ") arrived and volume " + std::to_string(expected) +
                  " did not come complete in " + text(timings.gapSeconds) + " s";
        const std::string skipped = refusalsFor(expected);
        if (!skipped.empty()) missing += " (skipped: " + skipped + ")";
    }
    return ready.end();
}

VolumeSource::Next WatchFolderSource::next(std::vector<int16_t>& volume, std::string& error) {
    State& st = *state_;
    if (!st.fixed) return Next::EndOfRun;
    if (settings_.volumeLimit > 0 && st.handed >= settings_.volumeLimit) return Next::EndOfRun;
    const std::string kept = "; the run ends with the " + std::to_string(st.handed) + " volumes before it";
    for (bool first = true;; first = false) {
        if (runStopRequested()) return Next::EndOfRun;
        if (!first) {
            if (!st.poll(settings_, settings_.pollSeconds, error)) return Next::Failed;
            st.refuseGrowing(settings_);
            st.readStable(settings_);
        }
        st.dropLate(settings_);
        std::string missing;
        const auto chosen = st.nextReady(settings_, missing);
        if (!missing.empty()) {
            error = missing + kept;
            return Next::Failed;
        }
        if (chosen != st.ready.end()) {
            Ready r = std::move(*chosen);
            st.ready.erase(chosen);
            volume = std::move(r.file.voxels);
            changedValues_ += r.file.clamped;
            st.arrival = r.arrival;
            st.placeOnTimeline(settings_, r);
            st.lastKey = st.keyOf(r);
            st.lastName = r.name;
            st.ignore(r.name);
            st.lastHandedAt = Clock::now();
            st.gapWaiting = false;
            ++st.handed;
            handedFiles_.push_back(r.name);
            // Refusals of this volume or before it, or of unknown number, are past.
            st.refused.erase(std::remove_if(st.refused.begin(), st.refused.end(),
                                            [&](const Refusal& f) {
                                                return !f.lost && (st.numbering == Numbering::Natural
                                                                       ? !naturalLess(st.lastName, f.name)
                                                                       : f.number <= st.lastKey);
                                            }),
                             st.refused.end());
            return Next::Volume;
        }
        // Another series began: the run ends once nothing of its own is ready
        // and a file of its own still being written has had time to finish.
        // Series written file by file in turn: the bound runs from the run's
        // last volume too, or the run would end between two of its volumes.
        if (st.newSeries && st.ready.empty() &&
            secondsBetween(std::max(st.newSeriesSince, st.lastHandedAt), Clock::now()) >=
                std::clamp(0.5 * st.timings.gapSeconds, 0.2, 2.0) &&
            st.finishRun(settings_) && st.ready.empty()) {
            const std::string lost = st.lostFiles();
            if (!lost.empty()) {
                error = settings_.folder + ": a new series began, and the run lost what follows: " + lost + kept;
                return Next::Failed;
            }
            st.note(settings_, "a new series began: the run ends");
            return Next::EndOfRun;
        }
        // A file being judged (it failed to read and may yet be declared
        // unreadable) holds the idle timeout: the run ends by that judgement.
        // So does one its writer is done with and that waits to be read (the
        // next series' first slices, settling), and one being written (the
        // next series' first file, or the run's next volume), bounded by the
        // growing bound (refuseGrowing): what it is decides how the run ends.
        const bool judging = !st.seen.empty();
        // While a later volume waits for a missing one, the gap's bound ends the run.
        if (!judging && !st.gapWaiting && secondsBetween(st.lastHandedAt, Clock::now()) >= st.timings.idleSeconds) {
            const std::string lost = st.lostAtIdle();
            if (!lost.empty()) {
                error = settings_.folder + ": no volume came for " + text(st.timings.idleSeconds) + " s, and " + lost +
                        kept;
                return Next::Failed;
            }
            st.note(settings_, "no new volume for " + text(st.timings.idleSeconds) + " s: the run ends");
            return Next::EndOfRun;
        }
    }
}

SeriesIdentity WatchFolderSource::identity() const { return state_->identity; }
bool WatchFolderSource::timedOutWaiting() const { return state_->timedOut; }
bool WatchFolderSource::newSeriesBegan() const { return state_->newSeries; }
const FileLedger& WatchFolderSource::ledger() const { return state_->ledger; }

// Whether `f` is a later echo of the run's series, on the run's grid.
bool WatchFolderSource::State::laterEchoOfRun(const VolumeFile& f) const {
    return fixed && f.besideRun && f.echoNumber > 1 && !f.seriesUid.empty() && f.seriesUid == seriesUid &&
           changedGeometry(f).empty();
}

// Whether a later echo of the run came with fewer than `volumeCount` volumes.
bool WatchFolderSource::State::laterEchoShort(int32_t volumeCount) const {
    std::map<int32_t, int32_t> volumes;
    for (const std::vector<Ready>* from : {&ready, &waiting})
        for (const Ready& r : *from)
            if (laterEchoOfRun(r.file)) ++volumes[r.file.echoNumber];
    return std::any_of(volumes.begin(), volumes.end(), [&](const auto& e) { return e.second < volumeCount; });
}

std::vector<EchoSeries> WatchFolderSource::takeLaterEchoes(int32_t volumeCount) {
    State& st = *state_;
    // A run ended by its volume count ends at its last first echo: that
    // volume's later echoes are waited for as long as a missing volume is.
    const Clock::time_point ended = Clock::now();
    std::string failed;
    while (st.laterEchoShort(volumeCount) && secondsBetween(ended, Clock::now()) < st.timings.gapSeconds &&
           !runStopRequested() && st.poll(settings_, settings_.pollSeconds, failed)) {
        st.refuseGrowing(settings_);
        st.readStable(settings_);
    }
    std::map<int32_t, std::vector<Ready>> byEcho;
    for (std::vector<Ready>* from : {&st.ready, &st.waiting})
        for (auto r = from->begin(); r != from->end();) {
            const VolumeFile& f = r->file;
            if (!st.laterEchoOfRun(f)) {
                ++r;
                continue;
            }
            byEcho[f.echoNumber].push_back(std::move(*r));
            r = from->erase(r);
        }
    std::vector<EchoSeries> echoes;
    for (auto& [echo, volumes] : byEcho) {
        std::sort(volumes.begin(), volumes.end(), [](const Ready& a, const Ready& b) {
            return a.file.instanceNumber != b.file.instanceNumber ? a.file.instanceNumber < b.file.instanceNumber
                                                                  : naturalLess(a.name, b.name);
        });
        EchoSeries series;
        series.echo = echo;
        for (Ready& r : volumes) {
            st.pastSeries.insert(State::identityOf(r).key);
            if (static_cast<int32_t>(series.volumes.size()) >= volumeCount) continue;
            st.place(r, st.identity.key);
            series.volumes.push_back(std::move(r.file.voxels));
        }
        echoes.push_back(std::move(series));
    }
    return echoes;
}

}  // namespace korvanth
