#include "korvanth/app/single_run.h"

#include "korvanth/app/inputs.h"
#include "korvanth/app/invocation.h"
#include "korvanth/outputs/output_folder.h"

#include <string>

namespace korvanth {

namespace {

// Everything checked before the out folder is touched: the project name, the
// inputs, the memory; then the out folder's staging begun. A live run begins
// it before it waits for the first volume: an out folder that cannot be
// written is said before the scan, not once it has begun. The source's notes
// go to `observers` (the terminal, the live view). False with `error`.
bool prepareRun(KorvanthOptions& o, const std::string& projectName, ObserverList& observers, RunInputs& inputs,
                OutputFolder& out, std::string& error) {
    const std::string problem = projectNameProblem(projectName, OutputFolder::stagingFolderFor(o.outFolder));
    if (!problem.empty()) {
        error = (o.projectName.empty() ? "the project name '" + projectName + "' (from --bold)"
                                       : "--project '" + projectName + "'") +
                " " + problem;
        return false;
    }
    const bool live = !o.watchFolder.empty();
    if (live && !out.begin(o.outFolder, error)) return false;
    const auto notes = [&observers](const std::string& note) { observers.hostLogLine(note); };
    if (!openInputs(o, inputs, notes, error)) return false;
    error = memoryProblem(o, inputs.series);
    return error.empty() && (live || out.begin(o.outFolder, error));
}

}  // namespace

int runSingle(KorvanthOptions& o) {
    Invocation invocation;
    if (const int code = startInvocation(o, invocation); code != exitSuccess || o.initOnly) return code;

    const std::string projectName = chooseProjectName(o);
    RunInputs inputs;
    std::string error;
    OutputFolder out;
    if (!prepareRun(o, projectName, invocation.observers, inputs, out, error)) return fail(error);
    const CommittedRun run = runIntoFolder(o, invocation, inputs, projectName, out, o.outFolder);
    endInvocation(invocation, !run.written.empty(), o.linger);
    return run.exitCode;
}

}  // namespace korvanth
