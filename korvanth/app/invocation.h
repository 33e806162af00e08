// What one invocation of Korvanth keeps up across its runs (the terminal,
// the live view, the plug-in loaded and bound once), its start, and one set
// of inputs run into an out folder and committed, with the exit codes the
// README promises. A single run and a scanning session are both made of it.
#pragma once

#include "korvanth/app/inputs.h"
#include "korvanth/app/options.h"
#include "korvanth/app/terminal.h"
#include "korvanth/host/loaded_plugin.h"
#include "korvanth/outputs/output_folder.h"
#include "korvanth/run/run_loop.h"
#include "korvanth/run/run_observer.h"
#if KORVANTH_HAS_LIVE_VIEW
#include "korvanth/outputs/live/live_view.h"
#endif
#if KORVANTH_HAS_DICOM_NODE
#include "korvanth/sources/dicom_node/dicom_node.h"
#endif

#include <memory>
#include <string>
#include <vector>

namespace korvanth {

#if KORVANTH_HAS_LIVE_VIEW
using LiveViewPtr = std::unique_ptr<LiveView>;
#else
using LiveViewPtr = std::unique_ptr<int>;   // this build has no live view: never set
#endif
#if KORVANTH_HAS_DICOM_NODE
using DicomNodePtr = std::unique_ptr<DicomNode>;
#else
using DicomNodePtr = std::unique_ptr<int>;  // this build has no DICOM node: never set
#endif

// What one invocation keeps up across its runs: the terminal and the live
// view (both observers of every run), the DICOM node filling the followed
// folder, and the plug-in, loaded and bound once.
struct Invocation {
    Invocation();
    TerminalView terminal;
    ObserverList observers;
    LiveViewPtr live;
    DicomNodePtr node;
    std::unique_ptr<LoadedPlugin> plugin;
};

// Stop handlers, host version, terminal, live view, DICOM node, plug-in: exitSuccess when
// the plug-in accepted the host, else the exit code (with the error printed).
int startInvocation(const KorvanthOptions& options, Invocation& invocation);

// What came of one run committed into its out folder.
struct CommittedRun {
    int exitCode = 0;  // as the invocation would end with this run alone
    RunOutcome outcome;
    std::vector<std::string> written;             // the results' file names; empty when nothing was committed
    std::vector<double> framewiseDisplacementMm;  // one per volume fed
    std::vector<EchoSummary> echoes;              // the later echoes written beside the run's series
};

// Runs `inputs` through the plug-in into `outFolder` (staged in `out`, begun
// here unless it was already, then committed) under `projectName`, with the
// invocation's observers. `shownFolder` is where the results are said to be
// when `outFolder` is itself moved into place later; empty: `outFolder`.
CommittedRun runIntoFolder(const KorvanthOptions& options, Invocation& invocation, RunInputs& inputs,
                           const std::string& projectName, OutputFolder& out, const std::string& outFolder,
                           const std::string& shownFolder = {});

// After the last run: the live view kept up for `lingerSeconds` (lingerLiveView)
// when `linger` and it is up; host log lines from then on (the plug-in's
// unloading) go to the terminal alone.
void endInvocation(Invocation& invocation, bool linger, double lingerSeconds);

// "error: ..." on standard error; returns exitBadInput.
int fail(const std::string& message);

}  // namespace korvanth
