// korvanth-bids BIDS_DIR OUTPUT_DIR participant|group: a BIDS dataset's
// functional runs through the plug-in as a BIDS app. This file is the command
// line; bids_app.h holds the levels.
#include "korvanth/app/bids_app.h"
#include "korvanth/host/loaded_plugin.h"
#include "korvanth/platform/platform.h"

#include <CLI/CLI.hpp>

#include <filesystem>
#include <iostream>

namespace fs = std::filesystem;
using namespace korvanth;

namespace {

void addSelectionOptions(CLI::App& app, BidsOptions& b, std::string& filterFile) {
    const std::string group = "Selection";
    app.add_option("--participant-label", b.selection.participants,
                   "Participants to run, labels without sub- (default: every sub-* folder)")
        ->group(group);
    app.add_option("--session-id", b.selection.sessions, "Sessions to run, labels without ses-")->group(group);
    app.add_option("--task-id", b.selection.tasks, "Tasks to run, labels without task-")->group(group);
    app.add_option("--bids-filter-file", filterFile,
                   "JSON file {\"bold\": {\"session\": ..., \"task\": ..., \"run\": ...}}; a label or a list each")
        ->check(CLI::ExistingFile)
        ->group(group);
}

void addRunOptions(CLI::App& app, BidsOptions& b, std::vector<double>& fdThresholds) {
    app.add_option("--plugin", b.run.pluginPath, "Plug-in library to load")->capture_default_str();
    app.add_option("--motion-from", b.motionFrom,
                   "fmriprep:DIR: each run's motion from the confounds of the fMRIPrep derivative in DIR "
                   "(default: Korvanth estimates it)");
    app.add_option("--fd-thresholds", fdThresholds, "Framewise displacement thresholds in mm")
        ->expected(2)
        ->check(CLI::Range(0.001, 100.0))
        ->capture_default_str();
    app.add_option("--nprocs", b.nprocs,
                   "Runs of a participant at once, each in a worker process forked after the plug-in was loaded")
        ->check(CLI::Range(1, 1024))
        ->capture_default_str();
    app.add_flag("--dry-run", b.dryRun, "List the runs that would run, with their TR and motion, and stop");
}

// The plug-in beside the program, or in the folder above it (the build keeps
// korvanth-bids in a folder of its own beside Korvanth's).
std::string pluginBesideProgram() {
    const std::string beside = defaultPluginPath();
    std::error_code failed;
    if (fs::exists(beside, failed)) return beside;
    return (fs::path(executableFolder()).parent_path().parent_path() / fs::path(beside).filename()).string();
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "korvanth-bids: a BIDS dataset's functional runs through the plug-in, per participant, then the "
        "study's figures at the group level."};
    BidsOptions b;
    b.run.pluginPath = pluginBesideProgram();
    app.add_option("bids_dir", b.bidsDir, "The BIDS dataset (read only)")->required()->check(CLI::ExistingDirectory);
    app.add_option("output_dir", b.outputDir, "The derivative's folder")->required();
    app.add_option("analysis_level", b.level, "participant or group")
        ->required()
        ->check(CLI::IsMember({"participant", "group"}));
    std::string filterFile;
    addSelectionOptions(app, b, filterFile);
    std::vector<double> fdThresholds(defaultFdThresholds.begin(), defaultFdThresholds.end());
    addRunOptions(app, b, fdThresholds);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? exitSuccess : exitBadInput;
    }
    b.run.fdThresholds = {std::min(fdThresholds[0], fdThresholds[1]), std::max(fdThresholds[0], fdThresholds[1])};
    std::string error;
    if (!filterFile.empty() && !readBidsFilterFile(filterFile, b.selection, error)) {
        std::cerr << "error: " << error << '\n';
        return exitBadInput;
    }
    std::error_code failed;
    if (fs::equivalent(b.bidsDir, b.outputDir, failed)) {
        std::cerr << "error: the output folder must not be the dataset itself, which is read only\n";
        return exitBadInput;
    }
    return b.level == "group" ? runGroup(b) : runParticipants(b);
}
