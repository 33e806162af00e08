// Korvanth, the stand-in host: loads a plug-in, binds it, replays a run
// through it volume by volume (a recorded 4D series with its motion estimates,
// or the built-in synthetic phantom) or takes a live run from the folder a
// scanner writes into, and writes what it produced. This file is the command
// line; it hands the options to a scanning session (--session) or a single run.
#include "korvanth/app/invocation.h"
#include "korvanth/app/scanning_session.h"
#include "korvanth/app/single_run.h"
#include "korvanth/host/loaded_plugin.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <vector>

namespace fs = std::filesystem;
using namespace korvanth;

namespace {
// The DICOM node's inbox inside --out, when no --watch folder is given.
const char* const inboxFolderName = "inbox";

// A floating-point option that must be finite and within [low, high].
CLI::Validator finiteIn(double low, double high) {
    const std::string range = "[" + CLI::detail::to_string(low) + ", " + CLI::detail::to_string(high) + "]";
    return CLI::Validator(
        [low, high, range](std::string& text) -> std::string {
            char* end = nullptr;
            errno = 0;
            const double value = std::strtod(text.c_str(), &end);
            if (end == text.c_str() || *end != '\0' || !std::isfinite(value)) return text + " is not a finite number";
            if (value < low || value > high) return text + " is outside " + range;
            return "";
        },
        "FINITE in " + range);
}

void addGeneralOptions(CLI::App& app, KorvanthOptions& o) {
    app.add_option("--plugin", o.pluginPath, "Plug-in library to load")->capture_default_str();
    app.add_option("--host-version", o.hostVersion, "Version the host reports, X.Y.Z (parts may be negative)")
        ->capture_default_str();
    app.add_option("--out", o.outFolder, "Folder for the results (created if needed)")->capture_default_str();
    app.add_option("--project", o.projectName,
                   "Project name the host reports; names the motion log <project>_3DMC.log "
                   "(default: synthetic, or the name of the --bold file)");
    app.add_flag("--init-only", o.initOnly, "Stop after initPlugin and report its result");
}

// The motion options; returns --reference-volume.
CLI::Option* addMotionOptions(CLI::App& app, KorvanthOptions& o) {
    app.add_option("--motion", o.motionPath,
                   "Motion estimates of a recorded run, one row per volume, or none (zeros); "
                   "default: Korvanth estimates each volume's motion as it arrives")
        ->group("Motion");
    auto* reference = app.add_option("--reference-volume", o.referenceVolume,
                                     "Volume the estimates are relative to, from 1 (volumes before it get zeros, "
                                     "flagged: a live run cannot look ahead)")
                          ->check(CLI::Range(1, 1000000))
                          ->capture_default_str()
                          ->group("Motion");
    app.add_option("--compare-motion", o.compareMotionPath,
                   "A motion file shown beside the run's motion in the report, with the differences")
        ->group("Motion");
    app.add_option("--motion-format", o.motionFormat,
                   "fsl (rot rad, trans mm), spm (trans mm, rot rad), fmriprep (confounds TSV), plain "
                   "(trans mm, rot degrees), or auto: by name (*.par fsl, rp_*.txt spm, *.tsv fmriprep)")
        ->check(CLI::IsMember({"auto", "fsl", "spm", "fmriprep", "plain"}))
        ->capture_default_str()
        ->group("Motion");
    return reference;
}

void addTimingOptions(CLI::App& app, KorvanthOptions& o) {
    app.add_option("--tr", o.repetitionTime,
                   "Repetition time in seconds (default: the file's, or 2 for the synthetic run)")
        ->check(finiteIn(0.0, 600.0))
        ->group("Timing");
    app.add_flag("--realtime", o.realtime,
                 "Pace the volumes at the TR as a scanner would (default: as fast as possible)")
        ->group("Timing");
}

// The synthetic run's options, which a recorded run excludes; returns them
// all, --volumes first.
std::vector<CLI::Option*> addSyntheticOptions(CLI::App& app, KorvanthOptions& o, CLI::Option* bold) {
    const std::string synth = "Synthetic run (default input)";
    auto* dims = app.add_option("--dims", o.dims, "Volume size X Y Z")
                     ->expected(3)
                     ->check(CLI::Range(2, 1024))
                     ->capture_default_str()
                     ->group(synth);
    auto* volumes = app.add_option("--volumes", o.synthetic.volumes,
                                   "Number of volumes (with --watch: end the run after this many)")
                        ->check(CLI::Range(2, 100000))
                        ->capture_default_str()
                        ->group(synth);
    auto* seed = app.add_option("--seed", o.synthetic.seed, "Seed of the noise")->capture_default_str()->group(synth);
    auto* noise = app.add_option("--noise", o.synthetic.noiseSd, "Standard deviation of the Gaussian noise")
                      ->check(finiteIn(0.0, 10000.0))
                      ->capture_default_str()
                      ->group(synth);
    auto* drift = app.add_option("--drift", o.synthetic.driftPercent, "Linear signal drift over the run, percent")
                      ->check(finiteIn(-100.0, 100.0))
                      ->capture_default_str()
                      ->group(synth);
    auto* motionScale =
        app.add_option("--motion-scale", o.synthetic.motionScale, "Factor on the built-in motion trace (0: still head)")
            ->check(finiteIn(-100.0, 100.0))
            ->capture_default_str()
            ->group(synth);
    auto* voxel = app.add_option("--voxel-size", o.synthetic.voxelSizeMm, "Isotropic voxel size in mm")
                      ->check(finiteIn(0.01, 100.0))
                      ->capture_default_str()
                      ->group(synth);
    const std::vector<CLI::Option*> options{volumes, dims, seed, noise, drift, motionScale, voxel};
    for (CLI::Option* option : options) option->excludes(bold);
    return options;
}

// The live run's options; a watched folder excludes the synthetic run's
// options but --volumes (its last volume). Returns --watch, then the options
// that follow a folder (--watch's or the DICOM node's inbox).
std::vector<CLI::Option*> addLiveOptions(CLI::App& app, KorvanthOptions& o, CLI::Option* bold,
                                         const std::vector<CLI::Option*>& synthetic) {
    const std::string liveGroup = "Live run";
    auto* watch =
        app.add_option("--watch", o.watchFolder,
                       "Take a live run from this folder: one DICOM or NIfTI file per volume, as the "
                       "scanner writes them")
            ->check(CLI::Validator(
                [](std::string& folder) {
                    // An empty name is no folder; it must not fall back to the synthetic run.
                    return folder.empty() ? std::string("needs the folder to watch, not an empty name") : std::string();
                },
                "FOLDER"))
            ->excludes(bold)
            ->group(liveGroup);
    auto* existing = app.add_flag("--include-existing", o.includeExisting,
                                  "Take the files already in the folder as the first volumes")
                         ->group(liveGroup);
    auto* idle = app.add_option("--idle-timeout", o.idleTimeout,
                                "End the run when no volume came for this many seconds (default: 3 TR + 10 s)")
                     ->check(finiteIn(0.0, 86400.0))
                     ->group(liveGroup);
    auto* session = app.add_flag("--session", o.session,
                                 "Follow the whole scanning session in the --watch folder: every new series is a run "
                                 "of its own, in a folder of --out named after it, listed in --out/session.json")
                        ->group(liveGroup);
    app.add_option("--session-idle", o.sessionIdle,
                   "End the session when no new series came for this many seconds (default: at Ctrl-C)")
        ->check(finiteIn(0.0, 7.0 * 86400.0))
        ->needs(session)
        ->group(liveGroup);
    app.add_option("--min-volumes", o.minVolumes,
                   "A series of fewer volumes is not run but listed as skipped (with --session)")
        ->check(CLI::Range(1, 1000))
        ->capture_default_str()
        ->needs(session)
        ->group(liveGroup);
    auto* settle = app.add_option("--poll-settle", o.pollSettle,
                                  "Judge the folder's files by polling: a file counts once unchanged this many "
                                  "seconds (default: when the system closes it after writing on a local folder, "
                                  "polling with 1 s on a network folder)")
                       ->check(finiteIn(0.0, 600.0))
                       ->group(liveGroup);
    for (std::size_t k = 1; k < synthetic.size(); ++k) synthetic[k]->excludes(watch);
    return {watch, existing, idle, session, settle};
}

// The DICOM node's options; returns --dicom-port.
CLI::Option* addNodeOptions(CLI::App& app, KorvanthOptions& o, CLI::Option* bold,
                            const std::vector<CLI::Option*>& synthetic) {
    const std::string node = "DICOM node";
    auto* port = app.add_option("--dicom-port", o.dicomPort,
                                "Receive the scanner's images as a DICOM node at [ADDR:]PORT (ADDR default "
                                "127.0.0.1) into the --watch folder, else into --out/" +
                                    std::string(inboxFolderName) + ", and follow it as a live run")
                     ->excludes(bold)
                     ->group(node);
    for (std::size_t k = 1; k < synthetic.size(); ++k) synthetic[k]->excludes(port);
    app.add_option("--ae-title", o.aeTitle, "The node's AE title, the scanner's destination")
        ->check(CLI::Validator(
            [](std::string& title) {
                const bool fits = !title.empty() && title.size() <= 16 && title.find('\\') == std::string::npos &&
                                  title.find_first_not_of(' ') != std::string::npos;
                return fits ? std::string() : std::string("an AE title has 1 to 16 characters, no backslash");
            },
            "AE"))
        ->capture_default_str()
        ->needs(port)
        ->group(node);
    app.add_option("--dicom-allow", o.dicomAllow, "Accept associations only from these calling AE titles")
        ->needs(port)
        ->group(node);
    return port;
}

// The live view's options; --fd-thresholds is read into `fdThresholds`, to be
// sorted once read.
void addViewOptions(CLI::App& app, KorvanthOptions& o, std::vector<double>& fdThresholds) {
    const std::string view = "Live view";
    app.add_option("--serve", o.serve,
                   "Serve the run to a browser at [ADDR:]PORT (ADDR default 127.0.0.1; 0: any free port)")
        ->group(view);
    app.add_option("--linger", o.linger, "Seconds the live view stays up after the run (default: until Ctrl-C)")
        ->check(finiteIn(0.0, 86400.0))
        ->group(view);
    app.add_option("--fd-thresholds", fdThresholds,
                   "Framewise displacement thresholds in mm, of the report and the live view")
        ->expected(2)
        ->check(finiteIn(0.001, 100.0))
        ->capture_default_str()
        ->group(view);
    app.add_option("--target-minutes", o.targetMinutes, "Low-motion time wanted, in minutes")
        ->check(finiteIn(0.01, 1440.0))
        ->capture_default_str()
        ->group(view);
}
}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Korvanth: replays an fMRI run through a real-time plug-in and writes what it produced.\n"
        "With no arguments it replays the built-in synthetic run through the plug-in built beside it."};
    KorvanthOptions o;
    o.pluginPath = defaultPluginPath();
    addGeneralOptions(app, o);
    auto* bold =
        app.add_option("--bold", o.boldPath,
                       "Recorded series to replay instead of the synthetic run: a 4D NIfTI file (.nii or .nii.gz), "
                       "a folder of DICOM files or one enhanced DICOM file")
            ->group("Recorded run");
    CLI::Option* reference = addMotionOptions(app, o);
    addTimingOptions(app, o);
    const std::vector<CLI::Option*> synthetic = addSyntheticOptions(app, o, bold);
    const std::vector<CLI::Option*> live = addLiveOptions(app, o, bold, synthetic);
    CLI::Option* node = addNodeOptions(app, o, bold, synthetic);
    std::vector<double> fdThresholds(defaultFdThresholds.begin(), defaultFdThresholds.end());
    addViewOptions(app, o, fdThresholds);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);  // prints the help, or the error and a hint
        return code == 0 ? exitSuccess : exitBadInput;
    }
    for (std::size_t k = 1; k < live.size(); ++k)
        if (live[k]->count() > 0 && live.front()->count() == 0 && node->count() == 0)
            return fail(live[k]->get_name() + " follows a folder: it goes with --watch or --dicom-port");
    // With the DICOM node and no --watch, the node's inbox is the followed folder.
    if (node->count() > 0 && o.watchFolder.empty()) o.watchFolder = (fs::path(o.outFolder) / inboxFolderName).string();
    o.volumesGiven = synthetic.front()->count() > 0;
    // Each threshold was checked as it was read (two finite values in range); every output takes them the lower first.
    o.fdThresholds = {std::min(fdThresholds[0], fdThresholds[1]), std::max(fdThresholds[0], fdThresholds[1])};
    if (o.session && (o.volumesGiven || !o.motionPath.empty() || !o.projectName.empty())) {
        std::cerr << "error: --session runs every series it finds, with Korvanth's own motion estimates; "
                     "--volumes, --motion and --project go with a single run\n";
        return exitBadInput;
    }
    if (reference->count() > 0 && !o.motionPath.empty()) {
        std::cerr << "error: --reference-volume goes with Korvanth's own estimates, not with --motion " << o.motionPath
                  << '\n';
        return exitBadInput;
    }
    return o.session ? followScanningSession(o) : runSingle(o);
}
