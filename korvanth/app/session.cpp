#include "korvanth/app/session.h"

#include "korvanth/app/inputs.h"
#include "korvanth/app/run_summary.h"
#include "korvanth/app/terminal.h"
#include "korvanth/host/host_state.h"
#include "korvanth/host/plugin_session.h"
#include "korvanth/outputs/output_folder.h"
#include "korvanth/outputs/result_writer.h"
#include "korvanth/platform/platform.h"
#include "korvanth/run/run_loop.h"
#if KORVANTH_HAS_LIVE_VIEW
#include "korvanth/app/serve.h"
#endif

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <new>

namespace fs = std::filesystem;

namespace korvanth {

namespace {

int fail(const std::string& message) {
    std::cerr << "error: " << message << '\n';
    return exitBadInput;
}

#if KORVANTH_HAS_LIVE_VIEW
using LiveViewPtr = std::unique_ptr<LiveView>;
#else
using LiveViewPtr = std::unique_ptr<int>;  // this build has no live view: never set
#endif

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

void lingerIfServing(LiveViewPtr& live, double seconds) {
#if KORVANTH_HAS_LIVE_VIEW
    if (live) lingerLiveView(*live, seconds);
#else
    (void)live;
    (void)seconds;
#endif
}

// Loads and binds the plug-in and asks whether it accepts this host. Returns
// exitSuccess with `session` set when it does, the exit code otherwise.
int loadPlugin(const KorvanthOptions& o, std::unique_ptr<PluginSession>& session) {
    const HostState& state = host();
    std::string error;
    session = PluginSession::open(o.pluginPath, error);
    if (!session) return fail(error);
    const PluginInfo& info = session->info();
    std::cout << "Plug-in: " << renderLogLine(info.name, false) << " " << info.version << '\n'
              << "Author:  " << renderLogLine(info.author, false) << '\n';

    const bool accepted = session->plugin().initPlugin();
    std::cout << "initPlugin: " << (accepted ? "accepted" : "refused") << " host version " << state.version.major << '.'
              << state.version.minor << '.' << state.version.subMinor << '\n';
    return accepted ? exitSuccess : exitHostRefused;
}

// Everything checked before the out folder is touched: the project name, the
// inputs, the memory; then the out folder's staging begun. False with `error`.
bool prepareRun(KorvanthOptions& o, const std::string& projectName, RunInputs& inputs, OutputFolder& out,
                std::string& error) {
    const std::string problem = projectNameProblem(projectName, OutputFolder::stagingFolderFor(o.outFolder));
    if (!problem.empty()) {
        error = (o.projectName.empty() ? "the project name '" + projectName + "' (from --bold)"
                                       : "--project '" + projectName + "'") +
                " " + problem;
        return false;
    }
    if (!openInputs(o, inputs, error)) return false;
    error = memoryProblem(o, inputs.series);
    return error.empty() && out.begin(o.outFolder, error);
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
    std::copy(o.fdThresholds.begin(), o.fdThresholds.end(), results.fdThresholds);
    std::sort(results.fdThresholds, results.fdThresholds + 2);
    return results;
}

// After the run: its checks, what it printed, the commit, the live view's
// linger, and the exit code.
int finishRun(const KorvanthOptions& o, const RunInputs& inputs, const RunOutcome& outcome, const ResultWriter& writer,
              OutputFolder& out, LiveViewPtr& live) {
    if (!outcome.motionLogWritten)
        return fail(outcome.motionLogPath +
                    ": the motion log could not be written, so the plug-in saw no motion; "
                    "no results were left in " +
                    o.outFolder);
    const SeriesInfo& series = inputs.series;
    const double slowest = warnOfSlowSteps(writer.stepSeconds(), series.repetitionTimeSeconds);
    if (inputs.live) printLatency(writer.timings(), series.repetitionTimeSeconds);

    if (!writer.succeeded()) return fail(writer.error() + "; no results were left in " + o.outFolder);
    std::vector<std::string> written;
    std::string error;
    if (!out.commit(written, error)) return fail(error);
    printCommittedRun(o.outFolder, written, slowest, outcome, series.expectedVolumes);
    lingerIfServing(live, o.linger);
    if (outcome.refusedSteps != 0) return exitPluginFailed;
    return outcome.partial ? exitPartialRun : exitSuccess;
}

}  // namespace

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
    LiveViewPtr live;
    std::string error;
    if (!serveIfAsked(o, observers, live, error)) return fail(error);
    state.logListener = [&observers](const std::string& line) { observers.hostLogLine(line); };

    std::unique_ptr<PluginSession> session;
    if (const int code = loadPlugin(o, session); code != exitSuccess || o.initOnly) return code;

    const std::string projectName = chooseProjectName(o);
    RunInputs inputs;
    OutputFolder out;
    if (!prepareRun(o, projectName, inputs, out, error)) return fail(error);
    RunSettings settings;
    settings.targetFolder = out.stagingFolder();
    settings.projectName = projectName;
    printRunLine(o, inputs);

    ResultWriter writer(resultSettings(o, inputs, out.stagingFolder(), session->info().name, projectName));
    observers.add(writer);
    // The plug-in is unloaded after the writer is gone: its last log lines go to the terminal only.
    const auto terminalOnly = [&terminal](const std::string& line) { terminal.hostLogLine(line); };
    RunOutcome outcome;
    try {
        outcome = driveRun(session->plugin(), inputs.series, inputs.source(), *inputs.motion, observers, settings);
    } catch (const std::bad_alloc&) {
        state.logListener = terminalOnly;
        return fail(inputs.series.title + ": the run ran out of memory; no results were left in " + o.outFolder);
    }
    state.logListener = terminalOnly;
    return finishRun(o, inputs, outcome, writer, out, live);
}

}  // namespace korvanth
