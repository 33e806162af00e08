// Korvanth, the stand-in host: loads a plug-in, binds it, replays a run
// through it volume by volume (a recorded 4D series with its motion estimates,
// or the built-in synthetic phantom) and writes what it produced.
#include "host_state.h"
#include "motion_files.h"
#include "platform.h"
#include "plugin_session.h"
#include "run_driver.h"
#include "run_outputs.h"
#include "synthetic_run.h"
#if KORVANTH_HAS_NIFTI
#include "nifti_io.h"
#endif
#if KORVANTH_HAS_REPORT
#include "qc_report.h"
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

// Reads or generates the run and its motion, and checks them against each
// other, before anything is written.
bool loadRun(ReplayOptions& o, RunData& run, ImageGeometry& geometry, std::string& title, std::string& error) {
    if (o.boldPath.empty()) {
        o.synthetic.dimX = o.dims[0];
        o.synthetic.dimY = o.dims[1];
        o.synthetic.dimZ = o.dims[2];
        if (o.repetitionTime > 0.0) o.synthetic.repetitionTimeSeconds = o.repetitionTime;
        run = makeSyntheticRun(o.synthetic);
        geometry = centredGeometry(run.dims, run.voxelSizeMm);
        title = "built-in synthetic run (seed " + std::to_string(o.synthetic.seed) + ")";
        return true;
    }
#if KORVANTH_HAS_NIFTI
    NiftiSeries series;
    if (!readNiftiSeries(o.boldPath, series, error)) return false;
    for (const std::string& warning : series.warnings) std::cerr << "warning: " << warning << '\n';
    run = std::move(series.run);
    geometry = series.geometry;
    if (o.repetitionTime > 0.0) run.repetitionTimeSeconds = o.repetitionTime;
    else if (!series.repetitionTimeRecorded)
        std::cerr << "warning: " << o.boldPath << ": the header records no TR; assuming 2 s (set it with --tr)\n";
#else
    error = o.boldPath + ": this build of Korvanth cannot read NIfTI images (built without libnifti2)";
    return false;
#endif
    title = o.boldPath;
    if (o.motionPath.empty()) {
        std::cerr << "warning: no motion file given (--motion): every motion log line carries zeros\n";
        return true;
    }
    MotionFormat format = MotionFormat::Plain;
    if (o.motionFormat == "auto" ? !guessMotionFormat(o.motionPath, format)
                                 : !parseMotionFormat(o.motionFormat, format)) {
        error = o.motionPath + ": cannot tell the motion file's format from its name; give --motion-format";
        return false;
    }
    return readMotionFile(o.motionPath, format, run.volumes.size(), run.motion, error);
}

int32_t mapCountOf(const HostState& state) {
    const int32_t voxels = state.voxelCount();
    return voxels > 0 ? static_cast<int32_t>(state.pluginMaps.size() / static_cast<std::size_t>(voxels)) : 0;
}

// Writes every result into the staging folder.
bool writeResults(const OutputStaging& staging, const ReplayOptions& o, const RunData& run,
                  const ImageGeometry& geometry, const std::string& title, const PluginInfo& info,
                  const RunOutcome& outcome, std::string& error) {
    const HostState& state = host();
    if (!writeRawMaps(staging.path("maps.f32"))) {
        error = staging.path("maps.f32") + ": cannot write the maps";
        return false;
    }
    if (!writeHostLog(staging.path("host.log"))) {
        error = staging.path("host.log") + ": cannot write the host log";
        return false;
    }
    if (!writeTimingCsv(staging.path("timing.csv"), outcome.stepSeconds, run.repetitionTimeSeconds, error))
        return false;
    MapsDescription description;
    description.mapNames = state.mapNames;
    std::copy(run.dims, run.dims + 3, description.dims);
    description.volumeCount = static_cast<int32_t>(run.volumes.size());
    description.source = title;
    description.pluginName = info.name;
    if (!writeMapsJson(staging.path("maps.json"), description, error)) return false;
    const int32_t mapCount = mapCountOf(state);
#if KORVANTH_HAS_NIFTI
    if (!writeNiftiMaps(staging.path("maps.nii.gz"), run.dims, geometry, state.pluginMaps, mapCount, error))
        return false;
    if (o.boldPath.empty() && !writeNiftiSeries(staging.path("bold.nii.gz"), run, geometry, error)) return false;
#else
    (void)geometry;
    (void)mapCount;
#endif
    if (o.boldPath.empty() && !writePlainMotionFile(staging.path("bold_motion.txt"), run.motion, error)) return false;
#if KORVANTH_HAS_REPORT
    ReportInput report;
    report.title = title;
    report.pluginName = info.name;
    std::copy(run.dims, run.dims + 3, report.dims);
    std::copy(run.voxelSizeMm, run.voxelSizeMm + 3, report.voxelSizeMm);
    report.repetitionTimeSeconds = run.repetitionTimeSeconds;
    report.volumeCount = static_cast<int32_t>(run.volumes.size());
    if (!run.volumes.empty()) report.firstVolume.assign(run.volumes[0].begin(), run.volumes[0].end());
    report.maps = state.pluginMaps;
    report.mapNames = state.mapNames;
    report.motion = run.motion;
    report.stepSeconds = outcome.stepSeconds;
    if (!writeQcReport(staging.folder(), report, error)) return false;
#else
    (void)info;
#endif
    return true;
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

    HostState& state = host();
    if (!parseHostVersion(o.hostVersion, state.version))
        return fail("--host-version " + o.hostVersion + " is not of the form X.Y.Z");
    state.programPath = executableFolder();
    state.pluginsPath = fs::path(o.pluginPath).parent_path().string();

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

    RunData run;
    ImageGeometry geometry;
    std::string title;
    if (!loadRun(o, run, geometry, title, error)) return fail(error);

    OutputStaging staging;
    if (!staging.begin(o.outFolder, error)) return fail(error);
    RunSettings settings;
    settings.targetFolder = staging.folder();
    settings.projectName = !o.projectName.empty() ? o.projectName : o.boldPath.empty() ? "synthetic" : stemOf(o.boldPath);
    settings.paceSeconds = o.realtime ? run.repetitionTimeSeconds : 0.0;
    settings.showProgress = standardErrorIsTerminal();
    state.styleEchoedLog = standardOutputShowsStyles();
    std::cout << "Run: " << title << ", " << run.dims[0] << "x" << run.dims[1] << "x" << run.dims[2] << " voxels, "
              << run.volumes.size() << " volumes, TR " << run.repetitionTimeSeconds << " s"
              << (o.realtime ? " (paced)" : "") << '\n';
    const RunOutcome outcome = driveRun(session->plugin(), run, settings);

    const auto slow = std::count_if(outcome.stepSeconds.begin(), outcome.stepSeconds.end(),
                                    [&](double s) { return s > run.repetitionTimeSeconds; });
    const double slowest =
        outcome.stepSeconds.empty() ? 0.0 : *std::max_element(outcome.stepSeconds.begin(), outcome.stepSeconds.end());
    if (slow > 0)
        std::cerr << "warning: " << slow << " of " << outcome.stepSeconds.size() << " steps took longer than the TR of "
                  << run.repetitionTimeSeconds << " s (slowest " << slowest << " s): the plug-in would fall behind\n";

    if (!writeResults(staging, o, run, geometry, title, info, outcome, error))
        return fail(error + "; no results were left in " + o.outFolder);
    if (!staging.commit(error)) return fail(error);
    std::vector<std::string> written;
    for (const fs::directory_entry& entry : fs::directory_iterator(o.outFolder))
        if (entry.is_regular_file()) written.push_back(entry.path().filename().string());
    std::sort(written.begin(), written.end());
    std::cout << "Wrote the results into " << o.outFolder << " (" << mapCountOf(state) << " maps of "
              << state.voxelCount() << " voxels; slowest step " << slowest * 1000.0 << " ms):";
    for (const std::string& name : written) std::cout << ' ' << name;
    std::cout << '\n';
    if (fs::exists(fs::path(o.outFolder) / "report.html"))
        std::cout << "Report: " << (fs::absolute(o.outFolder) / "report.html").string() << '\n';
    return outcome.refusedSteps == 0 ? 0 : 4;
}
