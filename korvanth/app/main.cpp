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
#include "korvanth/sources/estimated_motion.h"
#include "korvanth/sources/motion_files.h"
#include "korvanth/sources/paced_source.h"
#include "korvanth/sources/synthetic_run.h"
#if KORVANTH_HAS_NIFTI
#include "korvanth/sources/nifti_series.h"
#endif

#include <CLI/CLI.hpp>

#include <algorithm>
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
    int32_t referenceVolume = 1;   // from 1, for the estimates
    std::string compareMotionPath;
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
    bool motionEstimated = false;
    std::string motionSource;                     // for the report
    std::vector<MotionEstimate> comparedMotion;  // --compare-motion

    VolumeSource& source() { return paced ? *paced : *recorded; }
};

// A motion file's estimates, one row per volume of `series`; the format from
// --motion-format, or from the name when that is auto.
bool readMotion(const ReplayOptions& o, const std::string& path, const SeriesInfo& series,
                std::vector<MotionEstimate>& motion, std::string& error) {
    MotionFormat format = MotionFormat::Plain;
    if (o.motionFormat == "auto" ? !guessMotionFormat(path, format) : !parseMotionFormat(o.motionFormat, format)) {
        error = path + ": cannot tell the motion file's format from its name; give --motion-format";
        return false;
    }
    return readMotionFile(path, format, static_cast<std::size_t>(series.expectedVolumes), motion, error);
}

bool openInputs(ReplayOptions& o, RunInputs& in, std::string& error) {
    if (o.boldPath.empty()) {
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
        if (o.repetitionTime > 0.0) in.series.repetitionTimeSeconds = o.repetitionTime;
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
        if (in.madeUp) {
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
    app.add_option("--motion", o.motionPath,
                   "Motion estimates of a recorded run, one row per volume, or none (zeros); "
                   "default: Korvanth estimates each volume's motion as it arrives")
        ->group("Motion");
    auto* reference = app.add_option("--reference-volume", o.referenceVolume,
                                     "Volume the estimates are relative to, from 1 (volumes before it get zeros, "
                                     "flagged: a live run cannot look ahead)")
        ->check(CLI::Range(1, 1000000))->capture_default_str()->group("Motion");
    app.add_option("--compare-motion", o.compareMotionPath,
                   "A motion file shown beside the run's motion in the report, with the differences")
        ->group("Motion");
    app.add_option("--motion-format", o.motionFormat,
                   "fsl (rot rad, trans mm), spm (trans mm, rot rad), fmriprep (confounds TSV), plain "
                   "(trans mm, rot degrees), or auto: by name (*.par fsl, rp_*.txt spm, *.tsv fmriprep)")
        ->check(CLI::IsMember({"auto", "fsl", "spm", "fmriprep", "plain"}))->capture_default_str()
        ->group("Motion");

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
    CLI11_PARSE(app, argc, argv);
    if (reference->count() > 0 && !o.motionPath.empty())
        return fail("--reference-volume goes with Korvanth's own estimates, not with --motion " + o.motionPath);

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
    results.motionSource = inputs.motionSource;
    if (inputs.motionEstimated) results.spmMotionFile = "rp_" + settings.projectName + ".txt";
    results.comparedMotion = inputs.comparedMotion;
    results.comparedSource = o.compareMotionPath;
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
    return outcome.refusedSteps == 0 ? 0 : 4;
}
