// Korvanth, the stand-in host: loads a plug-in, binds it, replays a run
// through it volume by volume (a recorded 4D series with its motion estimates,
// or the built-in synthetic phantom) or takes a live run from the folder a
// scanner writes into, and writes what it produced.
#include "korvanth/app/terminal.h"
#include "korvanth/host/host_state.h"
#include "korvanth/host/platform.h"
#include "korvanth/host/plugin_session.h"
#include "korvanth/outputs/result_writer.h"
#include "korvanth/outputs/run_outputs.h"
#include "korvanth/run/run_loop.h"
#include "korvanth/sources/motion_files.h"
#include "korvanth/sources/paced_source.h"
#include "korvanth/sources/synthetic_run.h"
#include "korvanth/sources/watch_folder.h"
#if KORVANTH_HAS_NIFTI
#include "korvanth/sources/nifti_series.h"
#endif

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>

namespace fs = std::filesystem;
using namespace korvanth;

namespace {

struct ReplayOptions {
    std::string pluginPath = defaultPluginPath();
    std::string hostVersion = "3.1.0";
    std::string outFolder = "korvanth-out";
    std::string projectName;  // empty: "synthetic" or the name of the bold file
    std::string boldPath;
    std::string watchFolder;
    bool includeExisting = false;
    double idleTimeout = -1.0;  // < 0: 3 TR + 10 s
    bool volumesGiven = false;
    std::string motionPath;
    std::string motionFormat = "auto";
    double repetitionTime = 0.0;  // 0: from the file, or the synthetic run's
    bool realtime = false;
    bool initOnly = false;
    std::vector<int32_t> dims{48, 48, 24};
    SyntheticOptions synthetic;
};

// The format of a motion file from its name: *.par is FSL, rp_*.txt is SPM,
// *.tsv is fMRIPrep; anything else must be named.
bool guessMotionFormat(const std::string& path, MotionFormat& format) {
    const std::string name = fs::path(path).filename().string();
    const std::string extension = fs::path(path).extension().string();
    if (extension == ".par") format = MotionFormat::Fsl;
    else if (name.rfind("rp_", 0) == 0 && extension == ".txt") format = MotionFormat::Spm;
    else if (extension == ".tsv") format = MotionFormat::Fmriprep;
    else return false;
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

extern "C" void onStopSignal(int signal) {
    if (runStopRequested()) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        return;
    }
    requestRunStop();
}

// One line of a live run's latencies: file written to maps, median and 95th
// percentile (nearest rank).
void printLatency(const std::vector<VolumeTiming>& timings, double repetitionTimeSeconds) {
    std::vector<double> latency;
    for (const VolumeTiming& t : timings)
        if (t.fromFile) latency.push_back(t.latencySeconds * 1000.0);
    if (latency.empty()) return;
    std::sort(latency.begin(), latency.end());
    const double median = latency.size() % 2 == 1 ? latency[latency.size() / 2]
                                                  : (latency[latency.size() / 2 - 1] + latency[latency.size() / 2]) / 2.0;
    const double p95 = latency[std::min(latency.size() - 1,
                                        static_cast<std::size_t>(std::ceil(0.95 * static_cast<double>(latency.size()))) - 1)];
    const double trMs = repetitionTimeSeconds * 1000.0;
    std::printf("Latency from file written to maps: median %.1f ms (%.1f%% of the TR), 95th percentile %.1f ms (%.1f%%)\n",
                median, 100.0 * median / trMs, p95, 100.0 * p95 / trMs);
}

int fail(const std::string& message) {
    std::cerr << "error: " << message << '\n';
    return 2;
}

// Where the run's volumes and motion come from, opened and checked against
// each other before anything is written.
struct RunInputs {
    std::unique_ptr<VolumeSource> recorded;  // the series as read or made
    std::unique_ptr<VolumeSource> paced;     // the same at the TR, for --realtime
    std::unique_ptr<MotionSource> motion;
    SeriesInfo series;
    bool madeUp = false;      // the synthetic run: its series and motion are results too
    bool live = false;        // a watched folder: its series is a result too
    bool motionGiven = false;

    VolumeSource& source() { return paced ? *paced : *recorded; }
};

bool openInputs(ReplayOptions& o, RunInputs& in, std::string& error) {
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
        // No motion file comes with a live run: every motion log line carries zeros.
        in.motion = std::make_unique<ListedMotion>();
        return in.motion->begin(in.series, error);
    }
    if (o.boldPath.empty()) {
        o.synthetic.dimX = o.dims[0];
        o.synthetic.dimY = o.dims[1];
        o.synthetic.dimZ = o.dims[2];
        if (o.repetitionTime > 0.0) o.synthetic.repetitionTimeSeconds = o.repetitionTime;
        auto synthetic = std::make_unique<SyntheticSource>(o.synthetic);
        in.motion = std::make_unique<ListedMotion>(synthetic->motion());
        in.recorded = std::move(synthetic);
        in.madeUp = in.motionGiven = true;
    } else {
#if KORVANTH_HAS_NIFTI
        auto nifti = std::make_unique<NiftiSeriesSource>(o.boldPath);
        if (!nifti->open(in.series, error)) return false;
        for (const std::string& warning : nifti->warnings()) std::cerr << "warning: " << warning << '\n';
        if (o.repetitionTime > 0.0) in.series.repetitionTimeSeconds = o.repetitionTime;
        else if (!nifti->repetitionTimeRecorded())
            std::cerr << "warning: " << o.boldPath << ": the header records no TR; assuming 2 s (set it with --tr)\n";
        in.recorded = std::move(nifti);
#else
        error = o.boldPath + ": this build of Korvanth cannot read NIfTI images (built without libnifti2)";
        return false;
#endif
        if (o.motionPath.empty()) {
            std::cerr << "warning: no motion file given (--motion): every motion log line carries zeros\n";
            in.motion = std::make_unique<ListedMotion>();
        } else {
            MotionFormat format = MotionFormat::Plain;
            if (o.motionFormat == "auto" ? !guessMotionFormat(o.motionPath, format)
                                         : !parseMotionFormat(o.motionFormat, format)) {
                error = o.motionPath + ": cannot tell the motion file's format from its name; give --motion-format";
                return false;
            }
            std::vector<MotionEstimate> motion;
            if (!readMotionFile(o.motionPath, format, static_cast<std::size_t>(in.series.expectedVolumes), motion,
                                error))
                return false;
            in.motion = std::make_unique<ListedMotion>(std::move(motion));
            in.motionGiven = true;
        }
    }
    if (in.madeUp && !in.recorded->open(in.series, error)) return false;
    if (o.realtime) in.paced = std::make_unique<PacedSource>(*in.recorded, in.series.repetitionTimeSeconds);
    return in.motion->begin(in.series, error);
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Korvanth: replays an fMRI run through a real-time plug-in and writes what it produced.\n"
                 "With no arguments it replays the built-in synthetic run through the plug-in built beside it."};
    ReplayOptions o;
    app.add_option("--plugin", o.pluginPath, "Plug-in library to load")->capture_default_str();
    app.add_option("--host-version", o.hostVersion, "Version the host reports, X.Y.Z (parts may be negative)")
        ->capture_default_str();
    app.add_option("--out", o.outFolder, "Folder for the results (created if needed)")->capture_default_str();
    app.add_option("--project", o.projectName,
                   "Project name the host reports; names the motion log <project>_3DMC.log "
                   "(default: synthetic, or the name of the --bold file)");
    app.add_flag("--init-only", o.initOnly, "Stop after initPlugin and report its result");

    auto* bold = app.add_option("--bold", o.boldPath, "4D NIfTI series to replay (.nii or .nii.gz) instead of the synthetic run")
        ->group("Recorded run");
    app.add_option("--motion", o.motionPath, "Motion estimates of the series, one row per volume")
        ->needs(bold)->group("Recorded run");
    app.add_option("--motion-format", o.motionFormat,
                   "fsl (rot rad, trans mm), spm (trans mm, rot rad), fmriprep (confounds TSV), plain "
                   "(trans mm, rot degrees), or auto: by name (*.par fsl, rp_*.txt spm, *.tsv fmriprep)")
        ->check(CLI::IsMember({"auto", "fsl", "spm", "fmriprep", "plain"}))->capture_default_str()
        ->group("Recorded run");

    app.add_option("--tr", o.repetitionTime,
                   "Repetition time in seconds (default: the file's, or 2 for the synthetic run)")
        ->check(CLI::NonNegativeNumber)->group("Timing");
    app.add_flag("--realtime", o.realtime, "Pace the volumes at the TR as a scanner would (default: as fast as possible)")
        ->group("Timing");

    const std::string synth = "Synthetic run (default input)";
    auto* dims = app.add_option("--dims", o.dims, "Volume size X Y Z")->expected(3)->check(CLI::Range(2, 1024))
        ->capture_default_str()->group(synth);
    auto* volumes = app.add_option("--volumes", o.synthetic.volumes,
                                   "Number of volumes (with --watch: end the run after this many)")
        ->check(CLI::Range(2, 100000))->capture_default_str()->group(synth);
    auto* seed = app.add_option("--seed", o.synthetic.seed, "Seed of the noise")->capture_default_str()->group(synth);
    auto* noise = app.add_option("--noise", o.synthetic.noiseSd, "Standard deviation of the Gaussian noise")
        ->check(CLI::NonNegativeNumber)->capture_default_str()->group(synth);
    auto* drift = app.add_option("--drift", o.synthetic.driftPercent, "Linear signal drift over the run, percent")
        ->capture_default_str()->group(synth);
    auto* motionScale = app.add_option("--motion-scale", o.synthetic.motionScale,
                                       "Factor on the built-in motion trace (0: still head)")
        ->capture_default_str()->group(synth);
    auto* voxel = app.add_option("--voxel-size", o.synthetic.voxelSizeMm, "Isotropic voxel size in mm")
        ->check(CLI::PositiveNumber)->capture_default_str()->group(synth);
    for (CLI::Option* option : {dims, volumes, seed, noise, drift, motionScale, voxel}) option->excludes(bold);

    const std::string liveGroup = "Live run";
    auto* watch = app.add_option("--watch", o.watchFolder,
                                 "Take a live run from this folder: one DICOM or NIfTI file per volume, as the "
                                 "scanner writes them")
        ->excludes(bold)->group(liveGroup);
    app.add_flag("--include-existing", o.includeExisting, "Take the files already in the folder as the first volumes")
        ->needs(watch)->group(liveGroup);
    app.add_option("--idle-timeout", o.idleTimeout,
                   "End the run when no volume came for this many seconds (default: 3 TR + 10 s)")
        ->check(CLI::NonNegativeNumber)->needs(watch)->group(liveGroup);
    for (CLI::Option* option : {dims, seed, noise, drift, motionScale, voxel}) option->excludes(watch);
    CLI11_PARSE(app, argc, argv);
    o.volumesGiven = volumes->count() > 0;

    HostState& state = host();
    if (!parseHostVersion(o.hostVersion, state.version))
        return fail("--host-version " + o.hostVersion + " is not of the form X.Y.Z");
    state.programPath = executableFolder();
    state.pluginsPath = fs::path(o.pluginPath).parent_path().string();

    TerminalView terminal(standardErrorIsTerminal(), standardOutputShowsStyles());
    ObserverList observers;
    observers.add(terminal);
    state.logListener = [&observers](const std::string& line) { observers.hostLogLine(line); };

    std::string error;
    std::unique_ptr<PluginSession> session = PluginSession::open(o.pluginPath, error);
    if (!session) return fail(error);
    const PluginInfo& info = session->info();
    std::cout << "Plug-in: " << renderLogLine(info.name, false) << " " << info.version << '\n'
              << "Author:  " << renderLogLine(info.author, false) << '\n';

    const bool accepted = session->plugin().initPlugin();
    std::cout << "initPlugin: " << (accepted ? "accepted" : "refused") << " host version " << state.version.major
              << '.' << state.version.minor << '.' << state.version.subMinor << '\n';
    if (!accepted) return 3;
    if (o.initOnly) return 0;

    // The first SIGINT or SIGTERM ends the run after the volume in hand and
    // writes what came; a second one ends the program at once.
    for (int signal : {SIGINT, SIGTERM}) std::signal(signal, onStopSignal);

    RunInputs inputs;
    if (!openInputs(o, inputs, error)) return fail(error);
    const SeriesInfo& series = inputs.series;

    OutputStaging staging;
    if (!staging.begin(o.outFolder, error)) return fail(error);
    RunSettings settings;
    settings.targetFolder = staging.folder();
    settings.projectName = !o.projectName.empty()   ? o.projectName
                           : inputs.live              ? "live"
                           : o.boldPath.empty()       ? "synthetic"
                                                      : stemOf(o.boldPath);
    std::cout << "Run: " << series.title << ", " << series.dims[0] << "x" << series.dims[1] << "x" << series.dims[2]
              << " voxels, "
              << (series.expectedVolumes > 0 ? std::to_string(series.expectedVolumes) : std::string("open number of"))
              << " volumes, TR " << series.repetitionTimeSeconds << " s" << (o.realtime ? " (paced)" : "")
              << (inputs.live ? " (live)" : "") << std::endl;

    ResultSettings results;
    results.folder = staging.folder();
    results.pluginName = info.name;
    results.writeSeries = inputs.madeUp || inputs.live;
    if (inputs.live) results.seriesDescription = "Korvanth live run";
    results.motionGiven = inputs.motionGiven;
    ResultWriter writer(results);
    observers.add(writer);
    const RunOutcome outcome =
        driveRun(session->plugin(), series, inputs.source(), *inputs.motion, observers, settings);
    // The plug-in is unloaded after the writer is gone: its last log lines go to the terminal only.
    state.logListener = [&terminal](const std::string& line) { terminal.hostLogLine(line); };
    if (!outcome.motionLogWritten) std::cerr << "warning: cannot write the motion log " << outcome.motionLogPath << '\n';

    const std::vector<double>& stepSeconds = writer.stepSeconds();
    const auto slow = std::count_if(stepSeconds.begin(), stepSeconds.end(),
                                    [&](double s) { return s > series.repetitionTimeSeconds; });
    const double slowest = stepSeconds.empty() ? 0.0 : *std::max_element(stepSeconds.begin(), stepSeconds.end());
    if (slow > 0)
        std::cerr << "warning: " << slow << " of " << stepSeconds.size() << " steps took longer than the TR of "
                  << series.repetitionTimeSeconds << " s (slowest " << slowest << " s): the plug-in would fall behind\n";

    if (outcome.partial)
        std::cout << "Partial run: " << outcome.endReason << "; the results hold the " << outcome.volumeCount
                  << " volumes before it\n";
    if (inputs.live) printLatency(writer.timings(), series.repetitionTimeSeconds);

    if (!writer.succeeded()) return fail(writer.error() + "; no results were left in " + o.outFolder);
    if (!staging.commit(error)) return fail(error);
    std::vector<std::string> written;
    for (const fs::directory_entry& entry : fs::directory_iterator(o.outFolder))
        if (entry.is_regular_file()) written.push_back(entry.path().filename().string());
    std::sort(written.begin(), written.end());
    std::cout << "Wrote the results into " << o.outFolder << " (" << state.mapCount() << " maps of "
              << state.voxelCount() << " voxels; slowest step " << slowest * 1000.0 << " ms):";
    for (const std::string& name : written) std::cout << ' ' << name;
    std::cout << '\n';
    if (fs::exists(fs::path(o.outFolder) / "report.html"))
        std::cout << "Report: " << (fs::absolute(o.outFolder) / "report.html").string() << '\n';
    if (outcome.refusedSteps > 0) return 4;
    return outcome.partial && !runStopRequested() ? 5 : 0;
}
