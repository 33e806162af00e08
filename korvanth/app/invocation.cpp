#include "korvanth/app/invocation.h"

#include "korvanth/app/inputs.h"
#include "korvanth/app/run_summary.h"
#include "korvanth/app/terminal.h"
#include "korvanth/host/host_state.h"
#include "korvanth/host/loaded_plugin.h"
#include "korvanth/outputs/output_folder.h"
#include "korvanth/outputs/result_writer.h"
#include "korvanth/platform/listen_address.h"
#include "korvanth/platform/platform.h"
#include "korvanth/run/run_loop.h"
#if KORVANTH_HAS_LIVE_VIEW
#include "korvanth/app/serve.h"
#endif

#include <filesystem>
#include <iostream>
#include <new>

namespace fs = std::filesystem;

namespace korvanth {

int fail(const std::string& message) {
    std::cerr << "error: " << message << '\n';
    return exitBadInput;
}

Invocation::Invocation() : terminal(standardErrorIsTerminal(), standardOutputShowsStyles()) {}

namespace {

// The live view, when --serve asks for one: up before the plug-in is loaded,
// so that the page shows its first log lines and a live source's wait.
bool serveIfAsked(const KorvanthOptions& o, ObserverList& observers, LiveViewPtr& live, std::string& error) {
    if (o.serve.empty()) return true;
#if KORVANTH_HAS_LIVE_VIEW
    live = startLiveView(o, error);
    if (!live) return false;
    observers.add(*live);
    return true;
#else
    (void)observers;
    (void)live;
    error = "--serve: this build of Korvanth has no live view (built without cpp-httplib)";
    return false;
#endif
}

// The DICOM node, when --dicom-port asks for one: listening before the
// plug-in is loaded, its inbox the followed folder.
bool listenIfAsked(const KorvanthOptions& o, DicomNodePtr& node, std::string& error) {
    if (o.dicomPort.empty()) return true;
#if KORVANTH_HAS_DICOM_NODE
    DicomNodeSettings settings;
    if (!parseListenAddress("--dicom-port", o.dicomPort, settings.address, settings.port, error)) return false;
    if (settings.port == 0) {
        error = "--dicom-port " + o.dicomPort + ": the scanner needs a port it knows, not 0";
        return false;
    }
    settings.aeTitle = o.aeTitle;
    settings.allowedCallers = o.dicomAllow;
    settings.inbox = o.watchFolder;
    settings.log = [](const std::string& line) { std::cerr << line + '\n' << std::flush; };
    node = std::make_unique<DicomNode>(settings);
    {
        // Its threads are made with stop signals blocked: they reach the run's thread only.
        const DeferredStopSignals deferred;
        if (!node->start(error)) return false;
    }
    if (!isLoopbackAddress(settings.address))
        std::cerr << "warning: the DICOM node listens on " << settings.address
                  << ": whoever can reach this machine there can push images to it\n";
    std::cout << "DICOM node: AE title " << settings.aeTitle << " at " << settings.address << ":" << settings.port
              << ", into " << settings.inbox << std::endl;
    return true;
#else
    (void)node;
    error = "--dicom-port: this build of Korvanth has no DICOM node (built without DCMTK)";
    return false;
#endif
}

// Loads and binds the plug-in and asks whether it accepts this host. Returns
// exitSuccess with `plugin` set when it does, the exit code otherwise.
int loadPlugin(const KorvanthOptions& o, std::unique_ptr<LoadedPlugin>& plugin) {
    const HostState& state = host();
    std::string error;
    plugin = LoadedPlugin::open(o.pluginPath, error);
    if (!plugin) return fail(error);
    const PluginInfo& info = plugin->info();
    std::cout << "Plug-in: " << renderLogLine(info.name, false) << " " << info.version << '\n'
              << "Author:  " << renderLogLine(info.author, false) << '\n';

    const bool accepted = plugin->plugin().initPlugin();
    std::cout << "initPlugin: " << (accepted ? "accepted" : "refused") << " host version " << state.version.major << '.'
              << state.version.minor << '.' << state.version.subMinor << '\n';
    return accepted ? exitSuccess : exitHostRefused;
}

void printRunLine(const KorvanthOptions& o, const RunInputs& inputs) {
    const SeriesInfo& series = inputs.series;
    std::cout << "Run: " << series.title << ", " << series.dims[0] << "x" << series.dims[1] << "x" << series.dims[2]
              << " voxels, "
              << (series.expectedVolumes > 0 ? std::to_string(series.expectedVolumes) : std::string("open number of"))
              << " volumes, TR " << series.repetitionTimeSeconds << " s" << (o.realtime ? " (paced)" : "")
              << (inputs.live ? " (live)" : "") << std::endl;
}

ResultSettings resultSettings(const KorvanthOptions& o, const RunInputs& inputs, const std::string& folder,
                              const std::string& pluginName, const std::string& projectName) {
    ResultSettings results;
    results.folder = folder;
    results.pluginName = pluginName;
    results.writeSeries = inputs.madeUp || inputs.live || inputs.fromDicom;
    if (inputs.live) results.seriesDescription = "Korvanth live run";
    results.motionGiven = inputs.motionGiven;
    results.motionSource = inputs.motionSource;
    if (inputs.motionEstimated) results.spmMotionFile = "rp_" + projectName + ".txt";
    results.comparedMotion = inputs.comparedMotion;
    results.comparedSource = o.compareMotionPath;
    results.fdThresholds = o.fdThresholds;
    results.laterEchoes = inputs.laterEchoes;
    return results;
}

// Each volume's framewise displacement, as every output shows it.
class DisplacementTrace final : public RunObserver {
public:
    void volumeDone(const VolumeDone& volume) override { fd.push_back(volume.metrics.framewiseDisplacementMm); }
    std::vector<double> fd;
};

// After the run: its checks, what it printed, the commit; the exit code.
int finishRun(const std::string& outFolder, const std::string& shownFolder, const RunInputs& inputs,
              const RunOutcome& outcome, const ResultWriter& writer, OutputFolder& out,
              std::vector<std::string>& written) {
    if (!outcome.motionLogWritten)
        return fail(outcome.motionLogPath +
                    ": the motion log could not be written, so the plug-in saw no motion; "
                    "no results were left in " +
                    outFolder);
    const SeriesInfo& series = inputs.series;
    const double slowest = warnOfSlowSteps(writer.stepSeconds(), series.repetitionTimeSeconds);
    if (inputs.live) printLatency(writer.timings(), series.repetitionTimeSeconds);

    if (!writer.succeeded()) return fail(writer.error() + "; no results were left in " + outFolder);
    std::string error;
    if (!out.commit(written, error)) return fail(error);
    printCommittedRun(shownFolder, written, slowest, outcome, series.expectedVolumes);
    if (outcome.refusedSteps != 0) return exitPluginFailed;
    return outcome.partial ? exitPartialRun : exitSuccess;
}

}  // namespace

int startInvocation(const KorvanthOptions& o, Invocation& invocation) {
    installStopHandlers(&requestRunStop);
    HostState& state = host();
    if (!parseHostVersion(o.hostVersion, state.version))
        return fail("--host-version " + o.hostVersion + " is not of the form X.Y.Z");
    state.programPath = executableFolder();
    state.pluginsPath = fs::path(o.pluginPath).parent_path().string();

    invocation.observers.add(invocation.terminal);
    std::string error;
    if (!serveIfAsked(o, invocation.observers, invocation.live, error)) return fail(error);
    if (!listenIfAsked(o, invocation.node, error)) return fail(error);
    state.logListener = [&invocation](const std::string& line) { invocation.observers.hostLogLine(line); };
    return loadPlugin(o, invocation.plugin);
}

CommittedRun runIntoFolder(const KorvanthOptions& o, Invocation& invocation, RunInputs& inputs,
                           const std::string& projectName, OutputFolder& out, const std::string& outFolder,
                           const std::string& shownFolder) {
    CommittedRun run;
    std::string error;
    if (out.stagingFolder().empty() && !out.begin(outFolder, error)) {
        run.exitCode = fail(error);
        return run;
    }
    RunSettings settings;
    settings.targetFolder = out.stagingFolder();
    settings.projectName = projectName;
    printRunLine(o, inputs);

    HostState& state = host();
    ResultWriter writer(resultSettings(o, inputs, out.stagingFolder(), invocation.plugin->info().name, projectName));
    DisplacementTrace trace;
    ObserverList observers;
    observers.add(invocation.observers);
    observers.add(writer);
    observers.add(trace);
    state.logListener = [&observers](const std::string& line) { observers.hostLogLine(line); };
    // The writer is gone after the run: later log lines go to the invocation's observers only.
    const auto invocationOnly = [&invocation](const std::string& line) { invocation.observers.hostLogLine(line); };
    try {
        run.outcome =
            driveRun(invocation.plugin->plugin(), inputs.series, inputs.source(), *inputs.motion, observers, settings);
    } catch (const std::bad_alloc&) {
        state.logListener = invocationOnly;
        run.exitCode = fail(inputs.series.title + ": the run ran out of memory; no results were left in " + outFolder);
        return run;
    }
    state.logListener = invocationOnly;
    run.framewiseDisplacementMm = std::move(trace.fd);
    run.echoes = writer.echoes();
    run.exitCode = finishRun(outFolder, shownFolder.empty() ? outFolder : shownFolder, inputs, run.outcome, writer, out,
                             run.written);
    return run;
}

void endInvocation(Invocation& invocation, bool linger, double lingerSeconds) {
#if KORVANTH_HAS_LIVE_VIEW
    if (linger && invocation.live) lingerLiveView(*invocation.live, lingerSeconds);
#else
    (void)linger;
    (void)lingerSeconds;
#endif
    host().logListener = [&invocation](const std::string& line) { invocation.terminal.hostLogLine(line); };
}

}  // namespace korvanth
