// Korvanth, the stand-in host: loads a plug-in, binds it, replays a run
// through it volume by volume (a recorded 4D series with its motion estimates,
// or the built-in synthetic phantom) and writes what it produced.
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
#if KORVANTH_HAS_NIFTI
#include "korvanth/sources/nifti_series.h"
#endif
#if KORVANTH_HAS_LIVE_VIEW
#include "korvanth/outputs/live_view.h"
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
    std::string motionPath;
    std::string motionFormat = "auto";
    double repetitionTime = 0.0;  // 0: from the file, or the synthetic run's
    bool realtime = false;
    bool initOnly = false;
    std::vector<int32_t> dims{48, 48, 24};
    SyntheticOptions synthetic;
    std::string serve;  // [ADDR:]PORT of the live view; empty: none
    double linger = -1.0;  // seconds the live view stays after the run; negative: until Ctrl-C
    std::vector<double> fdThresholds{0.2, 0.5};
    double targetMinutes = 5.0;
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
    bool motionGiven = false;

    VolumeSource& source() { return paced ? *paced : *recorded; }
};

bool openInputs(ReplayOptions& o, RunInputs& in, std::string& error) {
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

#if KORVANTH_HAS_LIVE_VIEW
std::unique_ptr<LiveView> startLiveView(const ReplayOptions& o, std::string& error) {
    LiveViewSettings settings;
    if (!parseServeAddress(o.serve, settings.address, settings.port, error)) return nullptr;
    std::copy(o.fdThresholds.begin(), o.fdThresholds.end(), settings.fdThresholds);
    std::sort(settings.fdThresholds, settings.fdThresholds + 2);
    settings.targetMinutes = o.targetMinutes;
#if KORVANTH_HAS_REPORT
    settings.reportPath = (fs::absolute(o.outFolder) / "report.html").string();
#endif
    auto live = std::make_unique<LiveView>(settings);
    if (!live->start(error)) return nullptr;
    if (!isLoopbackAddress(settings.address))
        std::cerr << "warning: the live view listens on " << settings.address
                  << ": whoever can reach this machine there can watch the run\n";
    std::cout << "Live view: " << live->url() << std::endl;
    return live;
}

void onInterrupt(int) { requestRunStop(); }

// Keeps the live view up after the run: for `seconds`, or until Ctrl-C when negative.
void lingerLiveView(LiveView& live, double seconds) {
    if (seconds == 0.0) return;
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    std::cout << "Live view stays at " << live.url()
              << (seconds < 0.0 ? " until Ctrl-C" : " for " + std::to_string(static_cast<int>(std::ceil(seconds))) + " s")
              << std::endl;
    live.linger(seconds);
}
#endif

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
    auto* volumes = app.add_option("--volumes", o.synthetic.volumes, "Number of volumes")
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

    const std::string view = "Live view";
    app.add_option("--serve", o.serve, "Serve the run to a browser at [ADDR:]PORT (ADDR default 127.0.0.1; 0: any free port)")
        ->group(view);
    app.add_option("--linger", o.linger, "Seconds the live view stays up after the run (default: until Ctrl-C)")
        ->check(CLI::NonNegativeNumber)->group(view);
    app.add_option("--fd-thresholds", o.fdThresholds, "Framewise displacement thresholds in mm")->expected(2)
        ->check(CLI::PositiveNumber)->capture_default_str()->group(view);
    app.add_option("--target-minutes", o.targetMinutes, "Low-motion time wanted, in minutes")
        ->check(CLI::PositiveNumber)->capture_default_str()->group(view);
    CLI11_PARSE(app, argc, argv);

    HostState& state = host();
    if (!parseHostVersion(o.hostVersion, state.version))
        return fail("--host-version " + o.hostVersion + " is not of the form X.Y.Z");
    state.programPath = executableFolder();
    state.pluginsPath = fs::path(o.pluginPath).parent_path().string();

    TerminalView terminal(standardErrorIsTerminal(), standardOutputShowsStyles());
    ObserverList observers;
    observers.add(terminal);
#if KORVANTH_HAS_LIVE_VIEW
    // Up before the plug-in is loaded, so that the page shows its first log lines and a live source's wait.
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
    std::cout << "initPlugin: " << (accepted ? "accepted" : "refused") << " host version " << state.version.major
              << '.' << state.version.minor << '.' << state.version.subMinor << '\n';
    if (!accepted) return 3;
    if (o.initOnly) return 0;

    RunInputs inputs;
    if (!openInputs(o, inputs, error)) return fail(error);
    const SeriesInfo& series = inputs.series;

    OutputStaging staging;
    if (!staging.begin(o.outFolder, error)) return fail(error);
    RunSettings settings;
    settings.targetFolder = staging.folder();
    settings.projectName = !o.projectName.empty() ? o.projectName : o.boldPath.empty() ? "synthetic" : stemOf(o.boldPath);
    std::cout << "Run: " << series.title << ", " << series.dims[0] << "x" << series.dims[1] << "x" << series.dims[2]
              << " voxels, " << series.expectedVolumes << " volumes, TR " << series.repetitionTimeSeconds << " s"
              << (o.realtime ? " (paced)" : "") << '\n';

    ResultSettings results;
    results.folder = staging.folder();
    results.pluginName = info.name;
    results.writeSeries = inputs.madeUp;
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
#if KORVANTH_HAS_LIVE_VIEW
    if (live) lingerLiveView(*live, o.linger);
#endif
    return outcome.refusedSteps == 0 ? 0 : 4;
}
