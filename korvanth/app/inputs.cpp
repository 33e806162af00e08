#include "korvanth/app/inputs.h"

#include "korvanth/platform/platform.h"
#include "korvanth/sources/motion/estimated_motion_source.h"
#include "korvanth/sources/motion/motion_file_source.h"
#include "korvanth/sources/paced_source.h"
#include "korvanth/sources/watch/watch_folder.h"
#if KORVANTH_HAS_NIFTI
#include "korvanth/sources/nifti_series.h"
#endif
#if KORVANTH_HAS_DICOM
#include "korvanth/sources/dicom/dicom_series.h"
#endif
#include "tarvex/host_buffer_sizes.h"
#include "tarvex/qc_conventions.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>

namespace fs = std::filesystem;

namespace korvanth {

namespace {

// The format of a motion file from its name: *.par is FSL, rp_*.txt is SPM,
// *.tsv is fMRIPrep; anything else must be named.
bool guessMotionFormat(const std::string& path, MotionFormat& format) {
    const std::string name = fs::path(path).filename().string();
    const std::string extension = fs::path(path).extension().string();
    if (extension == ".par")
        format = MotionFormat::Fsl;
    else if (name.rfind("rp_", 0) == 0 && extension == ".txt")
        format = MotionFormat::Spm;
    else if (extension == ".tsv")
        format = MotionFormat::Fmriprep;
    else
        return false;
    return true;
}

std::string stemOf(const std::string& path) {
    fs::path p(path);
    if (!p.has_filename()) p = p.parent_path();  // a folder of DICOM files written with its slash
    std::string name = p.filename().string();
    for (const char* suffix : {".gz", ".nii", ".dcm"})
        if (name.size() > std::char_traits<char>::length(suffix) &&
            name.compare(name.size() - std::char_traits<char>::length(suffix), std::string::npos, suffix) == 0)
            name.erase(name.size() - std::char_traits<char>::length(suffix));
    return name;
}

// A motion file's estimates, one row per volume of `series`; the format from
// --motion-format, or from the name when that is auto.
bool readMotion(const KorvanthOptions& o, const std::string& path, const SeriesInfo& series,
                std::vector<MotionEstimate>& motion, std::string& error) {
    MotionFormat format = MotionFormat::Plain;
    if (o.motionFormat == "auto" ? !guessMotionFormat(path, format) : !parseMotionFormat(o.motionFormat, format)) {
        error = path + ": cannot tell the motion file's format from its name; give --motion-format";
        return false;
    }
    return readMotionFile(path, format, static_cast<std::size_t>(series.expectedVolumes), motion, error);
}

// A recorded series' source opened, its warnings said, its TR from --tr or
// the file (2 s with a warning when the file records none).
template <typename Source>
bool openRecorded(const KorvanthOptions& o, std::unique_ptr<Source> source, const char* what, RunInputs& in,
                  std::string& error) {
    if (!source->open(in.series, error)) return false;
    for (const std::string& warning : source->warnings()) std::cerr << "warning: " << warning << '\n';
    if (o.repetitionTime > 0.0)
        in.series.repetitionTimeSeconds = o.repetitionTime;
    else if (!source->repetitionTimeRecorded())
        std::cerr << "warning: " << o.boldPath << ": " << what << " no TR; assuming 2 s (set it with --tr)\n";
    in.recorded = std::move(source);
    return true;
}

// The volumes: a watched folder, the synthetic phantom or a recorded series.
bool openVolumes(KorvanthOptions& o, RunInputs& in, const std::function<void(const std::string&)>& notes,
                 std::string& error) {
    if (!o.watchFolder.empty()) {
        auto source = std::make_unique<WatchFolderSource>(watchSettingsFrom(o, notes));
        std::cout << "Watching " << o.watchFolder << " for volumes (Ctrl-C ends the run, keeping what came)"
                  << std::endl;
        if (!source->open(in.series, error)) return false;
        if (o.repetitionTime <= 0.0 && !source->repetitionTimeRecorded())
            std::cerr << "warning: the first volume's file records no TR; assuming 2 s (set it with --tr)\n";
        // Later echoes wait beside the run, to be written with it as a session's are.
        WatchFolderSource* watch = source.get();
        in.laterEchoes = [watch](int32_t volumeCount) { return watch->takeLaterEchoes(volumeCount); };
        in.recorded = std::move(source);
        in.live = true;
    } else if (o.boldPath.empty()) {
        o.synthetic.dimX = o.dims[0];
        o.synthetic.dimY = o.dims[1];
        o.synthetic.dimZ = o.dims[2];
        if (o.repetitionTime > 0.0) o.synthetic.repetitionTimeSeconds = o.repetitionTime;
        in.recorded = std::make_unique<SyntheticSource>(o.synthetic);
        in.madeUp = true;
        if (!in.recorded->open(in.series, error)) return false;
#if KORVANTH_HAS_DICOM
    } else if (isDicomInput(o.boldPath)) {
        std::cout << "Reading the DICOM files of " << o.boldPath << std::endl;
        if (!openRecorded(o, std::make_unique<DicomSeriesSource>(o.boldPath), "the files record", in, error))
            return false;
        in.fromDicom = true;
#endif
    } else {
#if KORVANTH_HAS_NIFTI
        if (!openRecorded(o, std::make_unique<NiftiSeriesSource>(o.boldPath), "the header records", in, error))
            return false;
#else
        error = o.boldPath + ": this build of Korvanth cannot read NIfTI images (built without libnifti2)";
        return false;
#endif
    }
    return true;
}

// The motion: none, a file's, or the host's own estimates (the default).
bool openMotion(const KorvanthOptions& o, RunInputs& in, std::string& error) {
    if (o.motionPath == "none") {
        in.motion = std::make_unique<MotionFileSource>();
    } else if (o.motionPath.empty()) {
        in.motion = std::make_unique<EstimatedMotionSource>(o.referenceVolume - 1);
        in.motionGiven = in.motionEstimated = true;
        in.motionSource = "estimated by Korvanth against volume " + std::to_string(o.referenceVolume);
    } else {
        if (in.madeUp || in.live) {
            error = "--motion " + o.motionPath + ": a motion file goes with a recorded run (--bold)";
            return false;
        }
        std::vector<MotionEstimate> motion;
        if (!readMotion(o, o.motionPath, in.series, motion, error)) return false;
        in.motion = std::make_unique<MotionFileSource>(std::move(motion));
        in.motionGiven = true;
        in.motionSource = "from " + o.motionPath;
    }
    return o.compareMotionPath.empty() || readMotion(o, o.compareMotionPath, in.series, in.comparedMotion, error);
}

// Memory a run needs, estimated before anything is allocated: the host's one
// copy of the volumes, and per voxel the plug-in's model (about 1 KB with its
// covariance, if every voxel were in the mask) and the eight maps.
uint64_t estimatedRunBytes(const SeriesInfo& series) {
    constexpr uint64_t modelBytesPerVoxel = 1024;
    constexpr uint64_t baseBytes = uint64_t{64} << 20;
    const auto voxels = static_cast<uint64_t>(series.voxelCount());
    const auto volumes = static_cast<uint64_t>(std::max(series.expectedVolumes, 1));
    return baseBytes + voxels * (volumes * sizeof(int16_t) + modelBytesPerVoxel +
                                 static_cast<uint64_t>(tarvex::pluginMapCount) * sizeof(float));
}

std::string gigabytes(uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f GB", static_cast<double>(bytes) / 1.0e9);
    return text;
}
}  // namespace

WatchSettings watchSettingsFrom(const KorvanthOptions& o, const std::function<void(const std::string&)>& notes) {
    WatchSettings watch;
    watch.folder = o.watchFolder;
    watch.includeExisting = o.includeExisting;
    watch.volumeLimit = o.volumesGiven ? o.synthetic.volumes : 0;
    if (o.idleTimeout >= 0.0) watch.idleTimeoutSeconds = o.idleTimeout;
    watch.repetitionTimeSeconds = o.repetitionTime;
    if (o.pollSettle >= 0.0) {
        watch.detection = ArrivalDetection::Polling;
        watch.settleSeconds = o.pollSettle;
    }
    watch.log = [notes](const std::string& note) { notes("watch: " + note); };
    return watch;
}

bool openInputs(KorvanthOptions& o, RunInputs& in, const std::function<void(const std::string&)>& notes,
                std::string& error) {
    if (!openVolumes(o, in, notes, error) || !openMotion(o, in, error)) return false;
    if (o.realtime) in.paced = std::make_unique<PacedSource>(*in.recorded, in.series.repetitionTimeSeconds);
    return in.motion->begin(in.series, error);
}

std::string chooseProjectName(const KorvanthOptions& o) {
    return !o.projectName.empty()   ? o.projectName
           : !o.watchFolder.empty() ? "live"
           : o.boldPath.empty()     ? "synthetic"
                                    : stemOf(o.boldPath);
}

std::string projectNameProblem(const std::string& name, const std::string& targetFolder) {
    if (name.empty()) return "is empty";
    if (name == "." || name == "..") return "is not a file name";
    for (const char c : name) {
        if (c == '/' || c == '\\') return "holds a path separator; it must be a plain file name";
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return "holds a control character";
        if (std::strchr("<>:\"|?*", c) != nullptr) return std::string("holds '") + c + "', which a file name cannot";
    }
    const std::size_t length = targetFolder.size() + name.size() + std::strlen(tarvex::motionLogSuffix);
    constexpr std::size_t longestAnswer = tarvex::hostTextBufferSize - 1;
    if (length > longestAnswer)
        return "makes the motion log's path " + std::to_string(length) +
               " characters long with the out folder; the host's answers hold at most " + std::to_string(longestAnswer);
    return "";
}

std::string memoryProblem(const KorvanthOptions& o, const SeriesInfo& series) {
    const uint64_t needed = estimatedRunBytes(series), available = availableMemoryBytes();
    if (available == 0 || needed <= available) return "";
    return (o.boldPath.empty() && o.watchFolder.empty()
                ? "--dims " + std::to_string(series.dims[0]) + " " + std::to_string(series.dims[1]) + " " +
                      std::to_string(series.dims[2]) + " with --volumes " + std::to_string(series.expectedVolumes)
                : series.title) +
           ": the run needs about " + gigabytes(needed) + " of memory (" + std::to_string(series.expectedVolumes) +
           " volumes of " + std::to_string(series.voxelCount()) + " voxels, and the plug-in's models), but only " +
           gigabytes(available) + " are available";
}

}  // namespace korvanth
