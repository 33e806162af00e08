// Korvanth, the stand-in host: loads a plug-in, binds it, and replays a run
// through it volume by volume.
#include "host_state.h"
#include "plugin_session.h"
#include "run_driver.h"
#include "synthetic_run.h"

#include <CLI/CLI.hpp>

#include <filesystem>
#include <iostream>

namespace fs = std::filesystem;
using namespace korvanth;

int main(int argc, char** argv) {
    CLI::App app{"Korvanth: replays an fMRI run through a real-time plug-in and writes what it produced."};
    std::string pluginPath = defaultPluginPath();
    std::string hostVersionText = "3.1.0";
    std::string outFolder = "korvanth-out";
    std::string projectName = "synthetic";
    bool initOnly = false;
    SyntheticOptions synthetic;
    app.add_option("--plugin", pluginPath, "Plug-in library to load")->capture_default_str();
    app.add_option("--host-version", hostVersionText, "Version the host reports, X.Y.Z (parts may be negative)")
        ->capture_default_str();
    app.add_option("--out", outFolder, "Folder for the motion log, maps and host log")->capture_default_str();
    app.add_option("--project", projectName, "Project name the host reports")->capture_default_str();
    app.add_option("--volumes", synthetic.volumes, "Volumes of the synthetic run")->capture_default_str()
        ->check(CLI::PositiveNumber);
    app.add_option("--seed", synthetic.seed, "Seed of the synthetic run's noise")->capture_default_str();
    app.add_flag("--init-only", initOnly, "Stop after initPlugin and report its result");
    CLI11_PARSE(app, argc, argv);

    HostState& state = host();
    if (!parseHostVersion(hostVersionText, state.version)) {
        std::cerr << "error: --host-version " << hostVersionText << " is not of the form X.Y.Z\n";
        return 2;
    }
    state.programPath = executableFolder();
    state.pluginsPath = fs::path(pluginPath).parent_path().string();

    std::string error;
    std::unique_ptr<PluginSession> session = PluginSession::open(pluginPath, error);
    if (!session) {
        std::cerr << "error: " << error << '\n';
        return 2;
    }
    const PluginInfo& info = session->info();
    std::cout << "Plug-in: " << renderLogLine(info.name, false) << " " << info.version << '\n'
              << "Author:  " << renderLogLine(info.author, false) << '\n';

    const bool accepted = session->plugin().initPlugin();
    std::cout << "initPlugin: " << (accepted ? "accepted" : "refused") << " host version " << state.version.major
              << '.' << state.version.minor << '.' << state.version.subMinor << '\n';
    if (!accepted) return 3;
    if (initOnly) return 0;

    std::error_code created;
    fs::create_directories(outFolder, created);
    if (created || !fs::is_directory(outFolder)) {
        std::cerr << "error: cannot create the out folder " << outFolder << '\n';
        return 2;
    }
    RunSettings settings;
    settings.targetFolder = (fs::absolute(outFolder) / "").string();
    settings.projectName = projectName;
    settings.showProgress = true;
    const RunData run = makeSyntheticRun(synthetic);
    const RunOutcome outcome = driveRun(session->plugin(), run, settings);

    const fs::path out(outFolder);
    if (!writeRawMaps((out / "maps.f32").string()) || !writeHostLog((out / "host.log").string())) {
        std::cerr << "error: cannot write the results into " << outFolder << '\n';
        return 2;
    }
    std::cout << "Wrote " << (out / "maps.f32").string() << " (8 maps of " << state.voxelCount()
              << " float32 each), " << (out / "host.log").string() << " and " << outcome.motionLogPath << '\n';
    return outcome.refusedSteps == 0 ? 0 : 4;
}
