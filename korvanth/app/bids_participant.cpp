#include "korvanth/app/bids_app.h"
#include "korvanth/app/inputs.h"
#include "korvanth/app/invocation.h"
#include "korvanth/app/run_figures.h"
#include "korvanth/outputs/json_text.h"
#include "korvanth/outputs/output_folder.h"
#include "korvanth/platform/platform.h"
#include "tarvex/plugin_version.h"

#include <filesystem>
#include <fstream>
#include <iostream>

#include <sys/wait.h>  // korvanth-bids is built on Linux alone
#include <unistd.h>

namespace fs = std::filesystem;

namespace korvanth {

namespace {

// Severity of a participant's exit codes: a bad input over a refusal or a
// failed step over a partial run over success.
int worse(int a, int b) {
    const auto rank = [](int code) {
        return code == exitBadInput ? 4 : code == exitSuccess ? 0 : code == exitPartialRun ? 1 : 2;
    };
    return rank(b) > rank(a) ? b : a;
}

bool writeWhole(const fs::path& path, const std::string& text, std::string& error) {
    const fs::path temporary = path.string() + ".tmp-" + std::to_string(currentProcessId());
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush()) {
            error = temporary.string() + ": cannot be written";
            return false;
        }
    }
    std::error_code failed;
    fs::rename(temporary, path, failed);
    if (failed) error = path.string() + ": cannot be written (" + failed.message() + ")";
    return !failed;
}

// A participant's folder, changed all or nothing: its runs are written into
// .sub-X.staging-<pid>, which replaces sub-X in two renames; the old folder
// waits as .sub-X.previous until the new one is in place, and a cut swap is
// finished (or undone) by the next run for the participant.
class ParticipantFolder {
public:
    ParticipantFolder(const std::string& outputDir, const std::string& participant)
        : target_(fs::path(outputDir) / ("sub-" + participant)),
          previous_(fs::path(outputDir) / (".sub-" + participant + ".previous")),
          prefix_(".sub-" + participant + ".staging-") {
        staging_ = fs::path(outputDir) / (prefix_ + std::to_string(currentProcessId()));
    }
    ~ParticipantFolder() {
        std::error_code ignored;
        if (!committed_) fs::remove_all(staging_, ignored);
    }

    bool begin(std::string& error) {
        std::error_code failed;
        if (fs::exists(previous_, failed)) {
            if (fs::exists(target_, failed))
                fs::remove_all(previous_, failed);
            else
                fs::rename(previous_, target_, failed);
        }
        for (const fs::directory_entry& entry : fs::directory_iterator(target_.parent_path(), failed)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind(prefix_, 0) != 0) continue;
            const std::string pid = name.substr(prefix_.size());
            if (pid.find_first_not_of("0123456789") != std::string::npos || pid.empty() || pid.size() > 9 ||
                !processIsRunning(std::stol(pid)))
                fs::remove_all(entry.path(), failed);
        }
        fs::remove_all(staging_, failed);
        if (!fs::create_directories(staging_, failed)) {
            error = staging_.string() + ": cannot be created" + (failed ? " (" + failed.message() + ")" : "");
            return false;
        }
        return true;
    }
    const fs::path& staging() const { return staging_; }
    const fs::path& target() const { return target_; }

    bool commit(std::string& error) {
        const DeferredStopSignals deferred;
        std::error_code failed;
        fs::remove_all(previous_, failed);
        if (fs::exists(target_, failed)) fs::rename(target_, previous_, failed);
        if (!failed) fs::rename(staging_, target_, failed);
        if (failed) {
            error = target_.string() + ": cannot commit the participant's results (" + failed.message() + ")";
            std::error_code ignored;
            if (!fs::exists(target_, ignored)) fs::rename(previous_, target_, ignored);
            return false;
        }
        committed_ = true;
        fs::remove_all(previous_, failed);
        return true;
    }

private:
    fs::path target_, previous_, staging_;
    std::string prefix_;
    bool committed_ = false;
};

// The run's figures.json: its entities, where its report is, and its figures.
Json runRecord(const BidsRun& run, const Json& figures) {
    Json record = Json::object();
    record["participant_id"] = "sub-" + run.participant;
    record["session_id"] = run.session.empty() ? Json() : Json("ses-" + run.session);
    record["task_id"] = run.task;
    record["run_id"] = run.run.empty() ? Json() : Json(run.run);
    record["run"] = run.folder;
    for (const auto& item : figures.items()) record[item.key()] = item.value();
    return record;
}

// One run into <staging>/<run folder>, its figures beside its results.
// Returns its exit code.
int runOne(BidsOptions& b, Invocation& invocation, RunFigures& figures, const BidsRun& run, const fs::path& staging,
           const fs::path& target) {
    if (!run.problem.empty()) return fail(run.problem);
    KorvanthOptions o = b.run;
    o.boldPath = run.boldPath;
    o.projectName = run.stem;
    o.repetitionTime = *run.repetitionTime;
    if (!run.confoundsPath.empty()) {
        o.motionPath = run.confoundsPath;
        o.motionFormat = "fmriprep";
    }
    // The staging folder becomes sub-X: the run's folder within it.
    const fs::path within = fs::path(run.folder).lexically_relative("sub-" + run.participant);
    const std::string folder = (staging / within).string();
    RunInputs inputs;
    std::string error;
    const auto notes = [&invocation](const std::string& note) { invocation.observers.hostLogLine(note); };
    if (!openInputs(o, inputs, notes, error)) return fail(error);
    if (const std::string memory = memoryProblem(o, inputs.series); !memory.empty()) return fail(memory);
    OutputFolder out;
    figures.begin(o.fdThresholds);
    const CommittedRun committed =
        runIntoFolder(o, invocation, inputs, run.stem, out, folder, (target / within).string());
    if (committed.written.empty()) return committed.exitCode;
    if (!writeWhole(fs::path(folder) / "figures.json", runRecord(run, figures.figures()).dump(2) + "\n", error))
        return fail(error);
    return committed.exitCode;
}

// The runs, --nprocs of them at once. The host's state and the plug-in are
// one per process, so each run at once is a worker process forked from this
// one after the plug-in was loaded (it is not loaded again); every run writes
// only its own folder, so the results are the same whatever the order.
int runAll(BidsOptions& b, Invocation& invocation, RunFigures& figures, const std::vector<BidsRun>& runs,
           const fs::path& staging, const fs::path& target) {
    int code = exitSuccess;
    if (b.nprocs <= 1 || runs.size() <= 1) {
        for (const BidsRun& run : runs) code = worse(code, runOne(b, invocation, figures, run, staging, target));
        return code;
    }
    std::size_t next = 0, running = 0;
    while (next < runs.size() || running > 0) {
        if (next < runs.size() && running < static_cast<std::size_t>(b.nprocs)) {
            std::cout.flush();
            std::cerr.flush();
            const pid_t worker = fork();
            if (worker == 0) {
                const int exitCode = runOne(b, invocation, figures, runs[next], staging, target);
                std::cout.flush();
                std::cerr.flush();
                _exit(exitCode);
            }
            if (worker < 0) code = worse(code, runOne(b, invocation, figures, runs[next], staging, target));
            running += worker > 0 ? 1 : 0;
            ++next;
            continue;
        }
        int status = 0;
        if (wait(&status) < 0) break;
        --running;
        code = worse(code, WIFEXITED(status) ? WEXITSTATUS(status) : static_cast<int>(exitPartialRun));
    }
    return code;
}

void listRun(const BidsRun& run) {
    std::cout << "  " << run.folder << ": " << run.boldPath;
    if (!run.problem.empty()) {
        std::cout << " -- cannot run: " << run.problem << '\n';
        return;
    }
    std::cout << ", TR " << *run.repetitionTime << " s (" << run.trSidecar << "), motion "
              << (run.confoundsPath.empty() ? "estimated by Korvanth" : "from " + run.confoundsPath) << '\n';
}

int runParticipant(BidsOptions& b, Invocation& invocation, RunFigures& figures, const std::string& participant,
                   const std::string& fmriprep) {
    const std::vector<BidsRun> runs = findBidsRuns(b.bidsDir, participant, b.selection, fmriprep);
    if (runs.empty()) return fail("sub-" + participant + ": no functional run of " + b.bidsDir + " matches");
    if (b.dryRun) {
        // The exit the real run would end with, so that a dry run warns of a run that cannot run.
        int code = exitSuccess;
        for (const BidsRun& run : runs) {
            listRun(run);
            if (!run.problem.empty()) code = exitBadInput;
        }
        return code;
    }
    ParticipantFolder folder(b.outputDir, participant);
    std::string error;
    if (!folder.begin(error)) return fail(error);
    const int code = runAll(b, invocation, figures, runs, folder.staging(), folder.target());
    if (!folder.commit(error)) return fail(error);
    return code;
}

const char* meaningOf(int code) {
    switch (code) {
        case exitSuccess:
            return "done";
        case exitPartialRun:
            return "a run ended early, its results marked partial";
        case exitBadInput:
            return "a bad input, named above";
        default:
            return "the plug-in refused the host or a step";
    }
}

}  // namespace

std::string fmriprepFolder(const std::string& motionFrom, std::string& error) {
    const std::string prefix = "fmriprep:";
    const std::string folder = motionFrom.rfind(prefix, 0) == 0 ? motionFrom.substr(prefix.size()) : "";
    std::error_code failed;
    if (folder.empty() || !fs::is_directory(folder, failed)) {
        error = "--motion-from " + motionFrom + ": give fmriprep:DIR, DIR the derivative's folder";
        return "";
    }
    return folder;
}

bool writeDatasetDescription(const std::string& outputDir, std::string& error) {
    Json description = Json::object();
    description["Name"] = "Korvanth quality control";
    description["BIDSVersion"] = "1.8.0";
    description["DatasetType"] = "derivative";
    description["GeneratedBy"] = Json::array({Json{{"Name", "Korvanth"}, {"Version", tarvex::pluginVersion}}});
    std::error_code failed;
    fs::create_directories(outputDir, failed);
    return writeWhole(fs::path(outputDir) / "dataset_description.json", description.dump(2) + "\n", error);
}

int runParticipants(BidsOptions& b) {
    std::string error;
    const std::string fmriprep = b.motionFrom.empty() ? "" : fmriprepFolder(b.motionFrom, error);
    if (!error.empty()) return fail(error);
    std::vector<std::string> participants = b.selection.participants;
    if (participants.empty()) participants = bidsParticipants(b.bidsDir);
    if (participants.empty()) return fail(b.bidsDir + ": no sub-* folder");
    if (!b.dryRun && !writeDatasetDescription(b.outputDir, error)) return fail(error);

    Invocation invocation;
    RunFigures figures;
    if (!b.dryRun) {
        if (const int code = startInvocation(b.run, invocation); code != exitSuccess) return code;
        invocation.observers.add(figures);
    }
    int worst = exitSuccess;
    for (const std::string& participant : participants) {
        std::error_code failed;
        int code = exitSuccess;
        if (!fs::is_directory(fs::path(b.bidsDir) / ("sub-" + participant), failed))
            code = fail(b.bidsDir + ": no folder sub-" + participant);
        else
            code = runParticipant(b, invocation, figures, participant, fmriprep);
        std::cout << "sub-" << participant << ": exit " << code << " (" << meaningOf(code) << ")" << std::endl;
        worst = worse(worst, code);
    }
    if (!b.dryRun) endInvocation(invocation, false, 0.0);
    return worst;
}

}  // namespace korvanth
