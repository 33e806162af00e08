#include "korvanth/sources/watch_folder.h"

#if KORVANTH_HAS_DICOM
#include "korvanth/sources/dicom_file.h"
#include "korvanth/sources/dicom_volume.h"
#include "korvanth/sources/volume_assembly.h"
#endif
#if KORVANTH_HAS_NIFTI
#include "korvanth/sources/nifti_series.h"
#endif

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <thread>

namespace fs = std::filesystem;

namespace korvanth {

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

enum class FileKind { Nifti, Dicom, Other };

// By content, never by name: DICOM by its preamble and "DICM"; NIfTI by
// its header's size field (348 or 540, either byte order) or a gzip stream,
// which the NIfTI reader then judges.
FileKind kindOf(const std::string& path) {
#if KORVANTH_HAS_DICOM
    if (looksLikeDicom(path)) return FileKind::Dicom;
#endif
    std::FILE* f = std::fopen(path.c_str(), "rb");
    unsigned char head[4] = {};
    const bool read = f != nullptr && std::fread(head, 1, 4, f) == 4;
    if (f != nullptr) std::fclose(f);
    if (!read) return FileKind::Other;
    if (head[0] == 0x1f && head[1] == 0x8b) return FileKind::Nifti;
    const uint32_t little = head[0] | head[1] << 8 | head[2] << 16 | static_cast<uint32_t>(head[3]) << 24;
    const uint32_t big = head[3] | head[2] << 8 | head[1] << 16 | static_cast<uint32_t>(head[0]) << 24;
    for (const uint32_t size : {little, big})
        if (size == 348 || size == 540) return FileKind::Nifti;
    return FileKind::Other;
}

bool sixDigits(const std::string& s, int64_t& value) {
    if (s.size() != 6 || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
    value = std::stoll(s);
    return true;
}

std::string text(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g", value);
    return buffer;
}

}  // namespace

bool exportFileNumbers(const std::string& name, int64_t& series, int64_t& volume) {
    const std::string stem = name.substr(0, name.find('.'));
    const std::size_t last = stem.rfind('_');
    if (last == std::string::npos || last < 2) return false;
    const std::size_t before = stem.rfind('_', last - 1);
    if (before == std::string::npos || before == 0) return false;
    return sixDigits(stem.substr(last + 1), volume) && sixDigits(stem.substr(before + 1, last - before - 1), series);
}

bool naturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool digitA = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
        const bool digitB = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
        if (digitA && digitB) {
            std::size_t endA = i, endB = j;
            while (endA < a.size() && std::isdigit(static_cast<unsigned char>(a[endA])) != 0) ++endA;
            while (endB < b.size() && std::isdigit(static_cast<unsigned char>(b[endB])) != 0) ++endB;
            // Compare as numbers: without leading zeros, the longer is larger.
            std::size_t startA = i, startB = j;
            while (startA + 1 < endA && a[startA] == '0') ++startA;
            while (startB + 1 < endB && b[startB] == '0') ++startB;
            const std::string numberA = a.substr(startA, endA - startA), numberB = b.substr(startB, endB - startB);
            if (numberA.size() != numberB.size()) return numberA.size() < numberB.size();
            if (numberA != numberB) return numberA < numberB;
            i = endA;
            j = endB;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    if (a.size() - i != b.size() - j) return a.size() - i < b.size() - j;
    return a < b;
}

bool readVolumeFile(const std::string& path, VolumeFile& file, std::string& error) {
    file = VolumeFile{};
    switch (kindOf(path)) {
        case FileKind::Nifti: {
#if KORVANTH_HAS_NIFTI
            NiftiVolume volume;
            if (!readNiftiVolume(path, volume, error)) return false;
            file.info = std::move(volume.info);
            file.voxels = std::move(volume.voxels);
            file.repetitionTimeRecorded = volume.repetitionTimeRecorded;
            return true;
#else
            error = path + ": this build of Korvanth cannot read NIfTI images (built without libnifti2)";
            return false;
#endif
        }
        case FileKind::Dicom: {
#if KORVANTH_HAS_DICOM
            DicomVolume volume;
            if (!readDicomVolume(path, volume, error)) {
                file.notAVolume = volume.notAnImage;
                return false;
            }
            file.info = std::move(volume.info);
            file.voxels = std::move(volume.voxels);
            file.seriesUid = std::move(volume.seriesInstanceUid);
            file.instanceNumber = volume.instanceNumber;
            file.acquisitionNumber = volume.acquisitionNumber;
            file.repetitionTimeRecorded = volume.repetitionTimeRecorded;
            return true;
#else
            error = path + ": this build of Korvanth cannot read DICOM (built without GDCM)";
            return false;
#endif
        }
        case FileKind::Other:
            break;
    }
    file.notAVolume = true;
    error = path + ": neither DICOM nor NIfTI by its content";
    return false;
}

namespace {

// A file seen in the folder and not yet read in full.
struct Seen {
    uintmax_t size = 0;
    fs::file_time_type modified{};
    Clock::time_point changedAt;  // when a poll last found it changed (or new)
    bool stable = false;          // unchanged since the poll before
    bool failed = false;          // read since its last change, and not in full
    int failures = 0;             // reads that failed since its last change
    Clock::time_point lastAttempt;
    std::string lastError;
    bool named = false;  // the export's name numbers, below
    int64_t nameSeries = -1;
    int64_t nameVolume = -1;
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
    std::set<std::string> ignored;  // already there, handed over, of another series, not a volume
    std::map<std::string, Seen> seen;
    std::vector<Ready> ready;

    bool fixed = false;  // the series, fixed by the first volume
    Numbering numbering = Numbering::Natural;
    int64_t nameSeries = -1;
    std::string seriesUid;
    int32_t dims[3] = {0, 0, 0};
    uintmax_t referenceSize = 0;  // of the first volume's file
    double idleSeconds = 0.0, unreadableSeconds = 0.0, gapSeconds = 0.0;

    int32_t handed = 0;
    int64_t lastKey = 0;
    std::string lastName;
    std::string firstName;  // the volume open() chose to begin with
    Clock::time_point lastHandedAt;
    VolumeArrival arrival;
    bool gapWaiting = false;
    Clock::time_point gapSince;

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
    std::string otherSeriesByName(bool named, int64_t series) const {
        if (named && series == nameSeries) return {};
        return named ? "series " + std::to_string(series) + " by its name, the run's is " + std::to_string(nameSeries)
                     : "its name is not numbered as the run's files are";
    }

    // Why `r` is not of the run's series; empty when it is.
    std::string otherSeries(const Ready& r) const {
        if (numbering == Numbering::FileName && !otherSeriesByName(r.named, r.nameSeries).empty())
            return otherSeriesByName(r.named, r.nameSeries);
        if (r.file.seriesUid != seriesUid)
            return "DICOM series " + (r.file.seriesUid.empty() ? std::string("(none)") : r.file.seriesUid) +
                   ", the run's is " + (seriesUid.empty() ? std::string("(none)") : seriesUid);
        if (r.file.info.dims[0] != dims[0] || r.file.info.dims[1] != dims[1] || r.file.info.dims[2] != dims[2])
            return "a " + std::to_string(r.file.info.dims[0]) + "x" + std::to_string(r.file.info.dims[1]) + "x" +
                   std::to_string(r.file.info.dims[2]) + " grid, the run's is " + std::to_string(dims[0]) + "x" +
                   std::to_string(dims[1]) + "x" + std::to_string(dims[2]);
        if (numbering != Numbering::Natural && keyOf(r) < 0) return "it carries no volume number";
        return {};
    }

    void note(const WatchSettings& settings, const std::string& message) const {
        if (settings.log) settings.log(message);
    }

    // Whether a file is known, before it is read, not to be of the run's
    // series: by its export name, once the series is fixed.
    bool skipUnread(const WatchSettings& settings, const std::string& name, const Seen& s) const {
        if (!fixed || numbering != Numbering::FileName) return false;
        const std::string other = otherSeriesByName(s.named, s.nameSeries);
        if (!other.empty()) note(settings, "ignoring " + name + ": " + other);
        return !other.empty();
    }

    bool poll(const WatchSettings& settings, std::string& error);
    bool readStable(const WatchSettings& settings, std::string& error);
    bool due(const Seen& s, Clock::time_point now) const;
#if KORVANTH_HAS_DICOM
    VolumeAssembly assembly;  // the DICOM files taken, towards whole volumes
    std::map<std::string, DicomRead> readDueDicom(const WatchSettings& settings) const;
    int64_t changedValues = 0;
    void assembled(const WatchSettings& settings, DicomFile file, const Ready& read, std::vector<Ready>& made);
#endif
    void fixSeries(const WatchSettings& settings, const Ready& reference);
    const Ready* pickFirst() const;
};

WatchFolderSource::WatchFolderSource(WatchSettings settings)
    : settings_(std::move(settings)), state_(std::make_unique<State>()) {}
WatchFolderSource::~WatchFolderSource() {
#if KORVANTH_HAS_DICOM
    if (state_->changedValues > 0)
        state_->note(settings_, std::to_string(state_->changedValues) +
                                    " stored values of the run were changed by the value rule (" + valueRule + ")");
#endif
}

VolumeArrival WatchFolderSource::lastArrival() const { return state_->arrival; }

// One look at the folder: new files, changed files, files gone. False when
// the folder cannot be listed.
bool WatchFolderSource::State::poll(const WatchSettings& settings, std::string& error) {
    const Clock::time_point now = Clock::now();
    std::error_code failed;
    fs::directory_iterator it(settings.folder, failed);
    if (failed) {
        error = settings.folder + ": cannot list the folder (" + failed.message() + ")";
        return false;
    }
    std::set<std::string> present;
    for (; it != fs::directory_iterator(); it.increment(failed)) {
        if (failed) break;
        const fs::directory_entry& entry = *it;
        std::string name = entry.path().filename().string();
        // Hidden names are copies in progress (rsync, editors): never volumes.
        if (name.empty() || name[0] == '.' || ignored.count(name) > 0) continue;
        std::error_code statFailed;
        if (!entry.is_regular_file(statFailed)) continue;
        const uintmax_t size = entry.file_size(statFailed);
        if (statFailed) continue;
        const fs::file_time_type modified = entry.last_write_time(statFailed);
        if (statFailed) continue;
        present.insert(name);
        auto [found, inserted] = seen.try_emplace(name);
        Seen& s = found->second;
        if (inserted) {
            s.size = size;
            s.modified = modified;
            s.changedAt = now;
            int64_t series = 0, volume = 0;
            s.named = exportFileNumbers(name, series, volume);
            if (s.named) {
                s.nameSeries = series;
                s.nameVolume = volume;
            }
            if (skipUnread(settings, name, s)) {
                seen.erase(found);
                ignored.insert(name);
            }
        } else if (s.size != size || s.modified != modified) {
            s.size = size;
            s.modified = modified;
            s.changedAt = now;
            s.stable = false;
            s.failed = false;
            s.failures = 0;
        } else {
            s.stable = size > 0;
        }
    }
    for (auto s = seen.begin(); s != seen.end();) s = present.count(s->first) > 0 ? std::next(s) : seen.erase(s);
    return true;
}

// Whether `s` is to be read now: stable, settled, not retried too soon.
bool WatchFolderSource::State::due(const Seen& s, Clock::time_point now) const {
#if KORVANTH_HAS_DICOM
    // Files of a series have the same layout, so their sizes differ by a few
    // bytes of text at most. A file still short of that size is left alone
    // until it has not changed for a while: a writer that pauses between
    // chunks makes a file look unchanged from one poll to the next.
    const uintmax_t margin = 1024;
    const bool shortOfSeries = !(referenceSize > 0 && s.size + margin >= referenceSize);
    const double settleSeconds = referenceSize > 0 && shortOfSeries ? 0.5 : 0.0;
#else
    const bool shortOfSeries = false;
    const double settleSeconds = 0.0;
#endif
    // An unchanged file that did not read is tried again this often.
    const double retrySeconds = shortOfSeries ? 0.25 : 0.1;
    return s.stable && secondsSince(s.changedAt, now) >= settleSeconds &&
           !(s.failed && secondsSince(s.lastAttempt, now) < retrySeconds);
}

#if KORVANTH_HAS_DICOM
// The DICOM files due, read together in one child process, by path.
std::map<std::string, DicomRead> WatchFolderSource::State::readDueDicom(const WatchSettings& settings) const {
    std::vector<std::string> paths;
    for (const auto& [name, s] : seen) {
        const std::string path = (fs::path(settings.folder) / name).string();
        if (due(s, Clock::now()) && looksLikeDicom(path)) paths.push_back(path);
    }
    std::vector<DicomRead> reads;
    readDicomFiles(paths, reads);
    std::map<std::string, DicomRead> batch;
    for (std::size_t i = 0; i < paths.size(); ++i) batch[paths[i]] = std::move(reads[i]);
    return batch;
}
#endif

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
    r.arrival.known = true;
    r.arrival.detected = now;
    // The last write as a time on this clock: the modification time's age.
    const auto age = fs::file_time_type::clock::now() - s.modified;
    r.arrival.completed =
        now - std::chrono::duration_cast<Clock::duration>(std::max(age, fs::file_time_type::duration::zero()));
    return r;
}
}  // namespace

// Reads the files that stopped changing; those that read in full join the
// ready volumes (or, of another series, the ignored files); DICOM files go
// through the volume assembly. False with `error` when a file stayed
// unchanged and unreadable past the allowed time.
bool WatchFolderSource::State::readStable(const WatchSettings& settings, std::string& error) {
#if KORVANTH_HAS_DICOM
    const Clock::time_point batchStarted = Clock::now();  // DICOM files are detected here, then read
    std::map<std::string, DicomRead> batch = readDueDicom(settings);
#endif
    for (auto it = seen.begin(); it != seen.end();) {
        const std::string name = it->first;
        Seen& s = it->second;
        const Clock::time_point now = Clock::now();
        const std::string path = (fs::path(settings.folder) / name).string();
#if KORVANTH_HAS_DICOM
        const auto read = batch.find(path);
        const bool isDicom = read != batch.end();
        if (!isDicom && (!due(s, now) || looksLikeDicom(path))) {
#else
        if (!due(s, now)) {
#endif
            ++it;
            continue;
        }
#if KORVANTH_HAS_DICOM
        Ready r = readyFor(name, s, isDicom ? batchStarted : now);
#else
        Ready r = readyFor(name, s, now);
#endif
        std::string readError;
        bool complete = true;
#if KORVANTH_HAS_DICOM
        // DICOM goes to the volume assembly, which yields the volumes its
        // files complete (a file may hold a slice, a volume or a series).
        DicomFile dicom;
        if (isDicom) {
            complete = read->second.ok;
            dicom = std::move(read->second.file);
            readError = std::move(read->second.error);
            r.file.notAVolume = !complete && dicom.notAnImage;
        } else {
            complete = readVolumeFile(path, r.file, readError);
        }
#else
        complete = readVolumeFile(path, r.file, readError);
#endif
        r.arrival.read = Clock::now();
        // The file must not have changed while it was read.
        std::error_code statFailed;
        const uintmax_t size = fs::file_size(path, statFailed);
        const fs::file_time_type modified = fs::last_write_time(path, statFailed);
        if (statFailed || size != s.size || modified != s.modified) {
            ++it;  // the next poll sees the change
            continue;
        }
        if (!complete) {
            s.failed = true;
            ++s.failures;
            s.lastAttempt = r.arrival.read;
            s.lastError = readError;
            const double limit = fixed                               ? unreadableSeconds
                                 : settings.unreadableSeconds >= 0.0 ? settings.unreadableSeconds
                                                                     : 2.0;
            const bool settled = s.failures >= 3 && secondsSince(s.changedAt, r.arrival.read) >= limit;
            if (r.file.notAVolume && settled) {
                // Not an image (a report, a presentation state, another file),
                // unchanged as long as an unreadable volume: left alone.
                note(settings, "ignoring " + name + ": " + readError);
                ignored.insert(name);
                it = seen.erase(it);
                continue;
            }
            // Unreadable: unchanged for the allowed time and tried a few times
            // over it (a host that stalled has not looked at it long enough).
            if (settled && !r.file.notAVolume) {
                error = path + " stays unreadable (unchanged for " + text(limit) + " s): " + readError;
                return false;
            }
            ++it;
            continue;
        }
        it = seen.erase(it);
        std::vector<Ready> made;
#if KORVANTH_HAS_DICOM
        if (isDicom)
            assembled(settings, std::move(dicom), r, made);
        else
#endif
            made.push_back(std::move(r));
        for (Ready& volume : made) {
            const std::string other = fixed ? otherSeries(volume) : std::string();
            if (!other.empty()) {
                note(settings, "ignoring " + name + ": " + other);
                ignored.insert(name);
                continue;
            }
            ready.push_back(std::move(volume));
        }
    }
    return true;
}

#if KORVANTH_HAS_DICOM
// Hands `file` to the assembly: the volumes it completes join `made`, each
// numbered by its volume key, with the arrival of `read`. The file is taken
// (never read again) unless it is refused, which is said once.
void WatchFolderSource::State::assembled(const WatchSettings& settings, DicomFile file, const Ready& read,
                                         std::vector<Ready>& made) {
    std::string why;
    ignored.insert(read.name);
    const int64_t changed = file.changedValues;
    if (!assembly.add(std::move(file), why)) {
        note(settings, "ignoring " + read.name + ": " + why);
        return;
    }
    changedValues += changed;  // said once, when the run ends
    for (AssembledVolume& volume : assembly.takeComplete()) {
        Ready r = read;
        r.file.info = std::move(volume.info);
        r.file.voxels = std::move(volume.voxels);
        r.file.seriesUid = volume.seriesUid;
        r.file.instanceNumber = r.file.acquisitionNumber = volume.key;
        r.file.repetitionTimeRecorded = volume.repetitionTimeRecorded;
        // A volume of several files is numbered by its key, not by a name,
        // and complete at the last write of any of them.
        r.named = r.named && volume.files.size() == 1;
        for (const std::string& path : volume.files) {
            std::error_code failed;
            const auto age = fs::file_time_type::clock::now() - fs::last_write_time(path, failed);
            const Clock::time_point written = Clock::now() - std::chrono::duration_cast<Clock::duration>(
                                                                 std::max(age, fs::file_time_type::duration::zero()));
            if (!failed && written > r.arrival.completed) r.arrival.completed = written;
        }
        made.push_back(std::move(r));
    }
}
#endif

// The run's series and numbering, from its first volume; the files read so
// far that are not of it are ignored from now on.
void WatchFolderSource::State::fixSeries(const WatchSettings& settings, const Ready& reference) {
    fixed = true;
    seriesUid = reference.file.seriesUid;
    referenceSize = reference.size;
    std::copy(reference.file.info.dims, reference.file.info.dims + 3, dims);
    if (reference.named) {
        numbering = Numbering::FileName;
        nameSeries = reference.nameSeries;
    } else if (reference.file.instanceNumber >= 0) {
        numbering = Numbering::Instance;
    } else if (reference.file.acquisitionNumber >= 0) {
        numbering = Numbering::Acquisition;
    } else {
        numbering = Numbering::Natural;
    }
    note(settings,
         "the series of " + reference.name + " is the run's; volumes are ordered by " + numberingName(numbering));
    for (auto r = ready.begin(); r != ready.end();) {
        const std::string other = otherSeries(*r);
        if (other.empty()) {
            ++r;
            continue;
        }
        note(settings, "ignoring " + r->name + ": " + other);
        ignored.insert(r->name);
        r = ready.erase(r);
    }
    for (auto s = seen.begin(); s != seen.end();) {
        if (skipUnread(settings, s->first, s->second)) {
            ignored.insert(s->first);
            s = seen.erase(s);
        } else {
            ++s;
        }
    }
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

bool WatchFolderSource::open(SeriesInfo& series, std::string& error) {
    State& st = *state_;
    st = State{};
    handedFiles_.clear();
    std::error_code failed;
    if (!fs::is_directory(settings_.folder, failed)) {
        error = settings_.folder + ": no such folder";
        return false;
    }
    if (!settings_.includeExisting) {
        std::size_t count = 0;
        for (fs::directory_iterator it(settings_.folder, failed); !failed && it != fs::directory_iterator();
             it.increment(failed)) {
            st.ignored.insert(it->path().filename().string());
            ++count;
        }
        if (failed) {
            error = settings_.folder + ": cannot list the folder (" + failed.message() + ")";
            return false;
        }
        if (count > 0)
            st.note(settings_, "ignoring the " + std::to_string(count) +
                                   " files already in the folder (--include-existing takes them)");
    }
    st.note(settings_, "waiting for the first volume in " + settings_.folder);
    const Clock::time_point opened = Clock::now();
    const auto interval = std::chrono::duration<double>(settings_.pollSeconds);
    for (;;) {
        if (runStopRequested()) {
            error = settings_.folder + ": stopped before the first volume arrived";
            return false;
        }
        if (!st.poll(settings_, error) || !st.readStable(settings_, error)) return false;
        if (!st.ready.empty()) break;
        if (settings_.idleTimeoutSeconds >= 0.0 && secondsSince(opened, Clock::now()) >= settings_.idleTimeoutSeconds) {
            error = settings_.folder + ": no volume arrived in " + text(settings_.idleTimeoutSeconds) + " s";
            return false;
        }
        std::this_thread::sleep_for(interval);
    }
    // The series of the newest file is the run's: with --include-existing
    // the folder may hold earlier series too.
    const Ready* newest = &st.ready.front();
    for (const Ready& r : st.ready)
        if (r.modified > newest->modified) newest = &r;
    const Ready reference = *newest;
    st.fixSeries(settings_, reference);
    const Ready* first = st.pickFirst();
    st.firstName = first->name;

    series = first->file.info;
    series.title = settings_.folder;
    series.expectedVolumes = settings_.volumeLimit > 0 ? settings_.volumeLimit : 0;
    repetitionTimeRecorded_ = first->file.repetitionTimeRecorded;
    if (settings_.repetitionTimeSeconds > 0.0) series.repetitionTimeSeconds = settings_.repetitionTimeSeconds;
    const double tr = series.repetitionTimeSeconds;
    st.idleSeconds = settings_.idleTimeoutSeconds >= 0.0 ? settings_.idleTimeoutSeconds : 3.0 * tr + 10.0;
    st.unreadableSeconds = settings_.unreadableSeconds >= 0.0 ? settings_.unreadableSeconds : std::max(2.0, tr);
    st.gapSeconds = settings_.gapSeconds >= 0.0 ? settings_.gapSeconds : std::max(2.0, tr);
    st.lastHandedAt = Clock::now();
    return true;
}

VolumeSource::Next WatchFolderSource::next(std::vector<int16_t>& volume, std::string& error) {
    State& st = *state_;
    if (!st.fixed) return Next::EndOfRun;
    if (settings_.volumeLimit > 0 && st.handed >= settings_.volumeLimit) return Next::EndOfRun;
    const auto interval = std::chrono::duration<double>(settings_.pollSeconds);
    const std::string kept = " the run ends with the " + std::to_string(st.handed) + " volumes before it";
    for (bool first = true;; first = false) {
        if (runStopRequested()) return Next::EndOfRun;
        if (!first) {
            if (!st.poll(settings_, error)) return Next::Failed;
            if (!st.readStable(settings_, error)) {
                error += ";" + std::string(kept);
                return Next::Failed;
            }
        }
        // Volumes that come after their turn cannot be fed any more.
        for (auto r = st.ready.begin(); r != st.ready.end();) {
            const bool late = st.handed > 0 && (st.numbering == Numbering::Natural ? !naturalLess(st.lastName, r->name)
                                                                                   : st.keyOf(*r) <= st.lastKey);
            if (!late) {
                ++r;
                continue;
            }
            st.note(settings_,
                    "ignoring " + r->name + ": it came after the volume that follows it (" + st.lastName + ")");
            st.ignored.insert(r->name);
            r = st.ready.erase(r);
        }
        auto chosen = st.ready.end();
        if (st.handed == 0) {
            chosen =
                std::find_if(st.ready.begin(), st.ready.end(), [&](const Ready& r) { return r.name == st.firstName; });
        } else if (st.numbering == Numbering::Natural) {
            for (auto r = st.ready.begin(); r != st.ready.end(); ++r)
                if (chosen == st.ready.end() || naturalLess(r->name, chosen->name)) chosen = r;
        } else {
            const int64_t expected = st.lastKey + 1;
            chosen =
                std::find_if(st.ready.begin(), st.ready.end(), [&](const Ready& r) { return st.keyOf(r) == expected; });
            if (chosen == st.ready.end() && !st.ready.empty()) {
                // A later volume is here but not the next: wait while a file
                // that could be it is still being written, then call it a gap.
                const bool couldArrive = std::any_of(st.seen.begin(), st.seen.end(), [&](const auto& s) {
                    return st.numbering != Numbering::FileName || s.second.nameVolume == expected;
                });
                const Clock::time_point now = Clock::now();
                if (couldArrive || !st.gapWaiting) {
                    st.gapWaiting = !couldArrive;
                    st.gapSince = now;
                } else if (secondsSince(st.gapSince, now) >= st.gapSeconds) {
                    const Ready& later =
                        *std::min_element(st.ready.begin(), st.ready.end(),
                                          [&](const Ready& a, const Ready& b) { return st.keyOf(a) < st.keyOf(b); });
                    error = settings_.folder + ": volume " + std::to_string(expected) + " is missing: " + later.name +
                            " (volume " + std::to_string(st.keyOf(later)) + ") arrived and no file of volume " +
                            std::to_string(expected) + " came in " + text(st.gapSeconds) + " s;" + kept;
                    return Next::Failed;
                }
            } else {
                st.gapWaiting = false;
            }
        }
        if (chosen != st.ready.end()) {
            Ready r = std::move(*chosen);
            st.ready.erase(chosen);
            volume = std::move(r.file.voxels);
            st.arrival = r.arrival;
            st.lastKey = st.keyOf(r);
            st.lastName = r.name;
            st.ignored.insert(r.name);
            st.lastHandedAt = Clock::now();
            st.gapWaiting = false;
            ++st.handed;
            handedFiles_.push_back(r.name);
            return Next::Volume;
        }
        // A file being judged (it failed to read and may yet be declared
        // unreadable) holds the idle timeout: the run ends by that judgement.
        const bool judging =
            std::any_of(st.seen.begin(), st.seen.end(), [](const auto& s) { return s.second.failures > 0; });
        if (!judging && secondsSince(st.lastHandedAt, Clock::now()) >= st.idleSeconds) {
            st.note(settings_, "no new volume for " + text(st.idleSeconds) + " s: the run ends");
            return Next::EndOfRun;
        }
        std::this_thread::sleep_for(interval);
    }
}

}  // namespace korvanth
