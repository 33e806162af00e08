#include "korvanth/app/session.h"

#include "korvanth/app/terminal.h"
#include "korvanth/host/host_state.h"
#include "korvanth/host/plugin_session.h"
#include "korvanth/outputs/output_folder.h"
#include "korvanth/outputs/result_writer.h"
#include "korvanth/platform/platform.h"
#include "korvanth/run/run_loop.h"
#include "korvanth/sources/estimated_motion.h"
#include "korvanth/sources/motion_files.h"
#include "korvanth/sources/paced_source.h"
#include "korvanth/sources/watch_folder.h"
#if KORVANTH_HAS_NIFTI
#include "korvanth/sources/nifti_series.h"
#endif
#if KORVANTH_HAS_LIVE_VIEW
#include "korvanth/outputs/live_view.h"
#endif
#include "tarvex/qc_conventions.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <new>

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
    std::string name = fs::path(path).filename().string();
    for (const char* suffix : {".gz", ".nii"})
        if (name.size() > std::char_traits<char>::length(suffix) &&
            name.compare(name.size() - std::char_traits<char>::length(suffix), std::string::npos, suffix) == 0)
            name.erase(name.size() - std::char_traits<char>::length(suffix));
    return name;
}

int fail(const std::string& message) {
    std::cerr << "error: " << message << '\n';
    return exitBadInput;
}

// Where the run's volumes and motion come from, opened and checked against
// each other before anything is written.
struct RunInputs {
    std::unique_ptr<VolumeSource> recorded;  // the series as read or made
    std::unique_ptr<VolumeSource> paced;     // the same at the TR, for --realtime
    std::unique_ptr<MotionSource> motion;
    SeriesInfo series;
    bool madeUp = false;  // the synthetic run: its series and motion are results too
    bool live = false;    // a watched folder: its series is a result too
    bool motionGiven = false;
    bool motionEstimated = false;
    std::string motionSource;                    // for the report
    std::vector<MotionEstimate> comparedMotion;  // --compare-motion

    VolumeSource& source() { return paced ? *paced : *recorded; }
};

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

bool openInputs(KorvanthOptions& o, RunInputs& in, std::string& error) {
    if (!o.watchFolder.empty()) {
        WatchSettings watch;
        watch.folder = o.watchFolder;
        watch.includeExisting = o.includeExisting;
        watch.volumeLimit = o.volumesGiven ? o.synthetic.volumes : 0;
        watch.idleTimeoutSeconds = o.idleTimeout;
        watch.repetitionTimeSeconds = o.repetitionTime;
        watch.log = [](const std::string& note) { std::cerr << "watch: " << note << '\n'; };
        auto source = std::make_unique<WatchFolderSource>(watch);
        std::cout << "Watching " << o.watchFolder << " for volumes (Ctrl-C ends the run, keeping what came)"
                  << std::endl;
        if (!source->open(in.series, error)) return false;
        if (o.repetitionTime <= 0.0 && !source->repetitionTimeRecorded())
            std::cerr << "warning: the first volume's file records no TR; assuming 2 s (set it with --tr)\n";
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
    } else {
#if KORVANTH_HAS_NIFTI
        auto nifti = std::make_unique<NiftiSeriesSource>(o.boldPath);
        if (!nifti->open(in.series, error)) return false;
        for (const std::string& warning : nifti->warnings()) std::cerr << "warning: " << warning << '\n';
        if (o.repetitionTime > 0.0)
            in.series.repetitionTimeSeconds = o.repetitionTime;
        else if (!nifti->repetitionTimeRecorded())
            std::cerr << "warning: " << o.boldPath << ": the header records no TR; assuming 2 s (set it with --tr)\n";
        in.recorded = std::move(nifti);
#else
        error = o.boldPath + ": this build of Korvanth cannot read NIfTI images (built without libnifti2)";
        return false;
#endif
    }
    // The motion: none, a file's, or the host's own estimates (the default).
    if (o.motionPath == "none") {
        in.motion = std::make_unique<ListedMotion>();
    } else if (o.motionPath.empty()) {
        in.motion = std::make_unique<EstimatedMotion>(o.referenceVolume - 1);
        in.motionGiven = in.motionEstimated = true;
        in.motionSource = "estimated by Korvanth against volume " + std::to_string(o.referenceVolume);
    } else {
        if (in.madeUp || in.live) {
            error = "--motion " + o.motionPath + ": a motion file goes with a recorded run (--bold)";
            return false;
        }
        std::vector<MotionEstimate> motion;
        if (!readMotion(o, o.motionPath, in.series, motion, error)) return false;
        in.motion = std::make_unique<ListedMotion>(std::move(motion));
        in.motionGiven = true;
        in.motionSource = "from " + o.motionPath;
    }
    if (!o.compareMotionPath.empty() && !readMotion(o, o.compareMotionPath, in.series, in.comparedMotion, error))
        return false;
    if (o.realtime) in.paced = std::make_unique<PacedSource>(*in.recorded, in.series.repetitionTimeSeconds);
    return in.motion->begin(in.series, error);
}

#if KORVANTH_HAS_LIVE_VIEW
std::unique_ptr<LiveView> startLiveView(const KorvanthOptions& o, std::string& error) {
    LiveViewSettings settings;
    if (!parseServeAddress(o.serve, settings.address, settings.port, error)) return nullptr;
    std::copy(o.fdThresholds.begin(), o.fdThresholds.end(), settings.fdThresholds);
    std::sort(settings.fdThresholds, settings.fdThresholds + 2);
    settings.targetMinutes = o.targetMinutes;
#if KORVANTH_HAS_REPORT
    settings.reportPath = (fs::absolute(o.outFolder) / "report.html").string();
#endif
    auto live = std::make_unique<LiveView>(settings);
    {
        // The server's threads are made with stop signals blocked: they reach
        // the run's thread only, and a commit that holds them back is not cut.
        const DeferredStopSignals deferred;
        if (!live->start(error)) return nullptr;
    }
    if (!isLoopbackAddress(settings.address))
        std::cerr << "warning: the live view listens on " << settings.address
                  << ": whoever can reach this machine there can watch the run\n";
    std::cout << "Live view: " << live->url() << std::endl;
    return live;
}

// Keeps the live view up after the run: for `seconds`, or until Ctrl-C when
// negative. A run stopped by Ctrl-C lingers too: the next Ctrl-C ends it.
void lingerLiveView(LiveView& live, double seconds) {
    if (seconds == 0.0) return;
    rearmStopHandlers();
    clearRunStopRequest();
    std::cout << "Live view stays at " << live.url()
              << (seconds < 0.0 ? " until Ctrl-C"
                                : " for " + std::to_string(static_cast<int>(std::ceil(seconds))) + " s")
              << std::endl;
    live.linger(seconds);
}
#endif

// One line of a live run's latencies: file written to maps, median and 95th
// percentile (nearest rank).
void printLatency(const std::vector<VolumeTiming>& timings, double repetitionTimeSeconds) {
    std::vector<double> latency;
    for (const VolumeTiming& t : timings)
        if (t.fromFile) latency.push_back(t.latencySeconds * 1000.0);
    if (latency.empty()) return;
    std::sort(latency.begin(), latency.end());
    const double median = latency.size() % 2 == 1
                              ? latency[latency.size() / 2]
                              : (latency[latency.size() / 2 - 1] + latency[latency.size() / 2]) / 2.0;
    const double p95 = latency[std::min(
        latency.size() - 1, static_cast<std::size_t>(std::ceil(0.95 * static_cast<double>(latency.size()))) - 1)];
    const double trMs = repetitionTimeSeconds * 1000.0;
    std::printf(
        "Latency from file written to maps: median %.1f ms (%.1f%% of the TR), 95th percentile %.1f ms (%.1f%%)\n",
        median, 100.0 * median / trMs, p95, 100.0 * p95 / trMs);
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

std::string projectNameProblem(const std::string& name, const std::string& targetFolder) {
    if (name.empty()) return "is empty";
    if (name == "." || name == "..") return "is not a file name";
    for (const char c : name) {
        if (c == '/' || c == '\\') return "holds a path separator; it must be a plain file name";
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return "holds a control character";
        if (std::strchr("<>:\"|?*", c) != nullptr) return std::string("holds '") + c + "', which a file name cannot";
    }
    const std::size_t length = targetFolder.size() + name.size() + std::strlen(tarvex::motionLogSuffix);
    if (length > 600)
        return "makes the motion log's path " + std::to_string(length) +
               " characters long with the out folder; the host's answers hold at most 600";
    return "";
}

int runSession(KorvanthOptions& o) {
    installStopHandlers(&requestRunStop);
    HostState& state = host();
    if (!parseHostVersion(o.hostVersion, state.version))
        return fail("--host-version " + o.hostVersion + " is not of the form X.Y.Z");
    state.programPath = executableFolder();
    state.pluginsPath = fs::path(o.pluginPath).parent_path().string();

    TerminalView terminal(standardErrorIsTerminal(), standardOutputShowsStyles());
    ObserverList observers;
    observers.add(terminal);
#if KORVANTH_HAS_LIVE_VIEW
    // Up before the plug-in is loaded, so that the page shows its first log
    // lines and a live source's wait.
    std::unique_ptr<LiveView> live;
    if (!o.serve.empty()) {
        std::string serveError;
        live = startLiveView(o, serveError);
        if (!live) return fail(serveError);
        observers.add(*live);
    }
#else
    if (!o.serve.empty()) return fail("--serve: this build of Korvanth has no live view (built without cpp-httplib)");
#endif
    state.logListener = [&observers](const std::string& line) { observers.hostLogLine(line); };

    std::string error;
    std::unique_ptr<PluginSession> session = PluginSession::open(o.pluginPath, error);
    if (!session) return fail(error);
    const PluginInfo& info = session->info();
    std::cout << "Plug-in: " << renderLogLine(info.name, false) << " " << info.version << '\n'
              << "Author:  " << renderLogLine(info.author, false) << '\n';

    const bool accepted = session->plugin().initPlugin();
    std::cout << "initPlugin: " << (accepted ? "accepted" : "refused") << " host version " << state.version.major << '.'
              << state.version.minor << '.' << state.version.subMinor << '\n';
    if (!accepted) return exitHostRefused;
    if (o.initOnly) return exitSuccess;

    const std::string projectName = !o.projectName.empty()   ? o.projectName
                                    : !o.watchFolder.empty() ? "live"
                                    : o.boldPath.empty()     ? "synthetic"
                                                             : stemOf(o.boldPath);
    const std::string problem = projectNameProblem(projectName, OutputFolder::stagingFolderFor(o.outFolder));
    if (!problem.empty())
        return fail((o.projectName.empty() ? "the project name '" + projectName + "' (from --bold)"
                                           : "--project '" + projectName + "'") +
                    " " + problem);

    RunInputs inputs;
    if (!openInputs(o, inputs, error)) return fail(error);
    const SeriesInfo& series = inputs.series;
    const uint64_t needed = estimatedRunBytes(series), available = availableMemoryBytes();
    if (available > 0 && needed > available)
        return fail((o.boldPath.empty() && o.watchFolder.empty()
                         ? "--dims " + std::to_string(series.dims[0]) + " " + std::to_string(series.dims[1]) + " " +
                               std::to_string(series.dims[2]) + " with --volumes " +
                               std::to_string(series.expectedVolumes)
                         : series.title) +
                    ": the run needs about " + gigabytes(needed) + " of memory (" +
                    std::to_string(series.expectedVolumes) + " volumes of " + std::to_string(series.voxelCount()) +
                    " voxels, and the plug-in's models), but only " + gigabytes(available) + " are available");

    OutputFolder out;
    if (!out.begin(o.outFolder, error)) return fail(error);
    RunSettings settings;
    settings.targetFolder = out.stagingFolder();
    settings.projectName = projectName;
    std::cout << "Run: " << series.title << ", " << series.dims[0] << "x" << series.dims[1] << "x" << series.dims[2]
              << " voxels, "
              << (series.expectedVolumes > 0 ? std::to_string(series.expectedVolumes) : std::string("open number of"))
              << " volumes, TR " << series.repetitionTimeSeconds << " s" << (o.realtime ? " (paced)" : "")
              << (inputs.live ? " (live)" : "") << std::endl;

    ResultSettings results;
    results.folder = out.stagingFolder();
    results.pluginName = info.name;
    results.writeSeries = inputs.madeUp || inputs.live;
    if (inputs.live) results.seriesDescription = "Korvanth live run";
    results.motionGiven = inputs.motionGiven;
    results.motionSource = inputs.motionSource;
    if (inputs.motionEstimated) results.spmMotionFile = "rp_" + settings.projectName + ".txt";
    results.comparedMotion = inputs.comparedMotion;
    results.comparedSource = o.compareMotionPath;
    ResultWriter writer(results);
    observers.add(writer);
    RunOutcome outcome;
    try {
        outcome = driveRun(session->plugin(), series, inputs.source(), *inputs.motion, observers, settings);
    } catch (const std::bad_alloc&) {
        state.logListener = [&terminal](const std::string& line) { terminal.hostLogLine(line); };
        return fail(series.title + ": the run ran out of memory; no results were left in " + o.outFolder);
    }
    // The plug-in is unloaded after the writer is gone: its last log lines go to the terminal only.
    state.logListener = [&terminal](const std::string& line) { terminal.hostLogLine(line); };
    if (!outcome.motionLogWritten)
        return fail(outcome.motionLogPath +
                    ": the motion log could not be written, so the plug-in saw no motion; "
                    "no results were left in " +
                    o.outFolder);

    const std::vector<double>& stepSeconds = writer.stepSeconds();
    const auto slow = std::count_if(stepSeconds.begin(), stepSeconds.end(),
                                    [&](double s) { return s > series.repetitionTimeSeconds; });
    const double slowest = stepSeconds.empty() ? 0.0 : *std::max_element(stepSeconds.begin(), stepSeconds.end());
    if (slow > 0)
        std::cerr << "warning: " << slow << " of " << stepSeconds.size() << " steps took longer than the TR of "
                  << series.repetitionTimeSeconds << " s (slowest " << slowest
                  << " s): the plug-in would fall behind\n";

    if (inputs.live) printLatency(writer.timings(), series.repetitionTimeSeconds);

    if (!writer.succeeded()) return fail(writer.error() + "; no results were left in " + o.outFolder);
    std::vector<std::string> written;
    if (!out.commit(written, error)) return fail(error);
    std::cout << "Wrote the results into " << o.outFolder << " (" << state.mapCount() << " maps of "
              << state.voxelCount() << " voxels; slowest step " << slowest * 1000.0 << " ms):";
    for (const std::string& name : written) std::cout << ' ' << name;
    std::cout << '\n';
    if (outcome.partial)
        std::cout << "Partial run: " << outcome.volumeCount << " of "
                  << (series.expectedVolumes > 0 ? std::to_string(series.expectedVolumes) : std::string("?"))
                  << " volumes (" << outcome.endReason << ")\n";
    if (std::find(written.begin(), written.end(), "report.html") != written.end())
        std::cout << "Report: " << (fs::absolute(o.outFolder) / "report.html").string() << '\n';
#if KORVANTH_HAS_LIVE_VIEW
    if (live) lingerLiveView(*live, o.linger);
#endif
    if (outcome.refusedSteps != 0) return exitPluginFailed;
    return outcome.partial ? exitPartialRun : exitSuccess;
}

}  // namespace korvanth
