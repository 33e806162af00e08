#include "run_driver.h"

#include "host_state.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <thread>

namespace korvanth {

RunOutcome driveRun(KRVPluginInterface& plugin, const RunData& run, const RunSettings& settings) {
    using Clock = std::chrono::steady_clock;
    RunOutcome outcome;
    HostState& state = host();
    state.targetFolder = settings.targetFolder;
    state.projectName = settings.projectName;
    const auto volumeCount = static_cast<int32_t>(run.volumes.size());
    state.beginRun(run.dims[0], run.dims[1], run.dims[2], volumeCount);

    MotionLogWriter motionLog(settings.targetFolder, settings.projectName);
    outcome.motionLogPath = motionLog.path();
    if (!motionLog.isOpen()) std::cerr << "warning: cannot write the motion log " << motionLog.path() << '\n';

    if (!plugin.executePreRun()) ++outcome.refusedSteps;
    const Clock::time_point start = Clock::now();
    for (int32_t volume = 0; volume < volumeCount; ++volume) {
        if (settings.paceSeconds > 0.0)
            std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(
                                                      std::chrono::duration<double>(settings.paceSeconds * volume)));
        state.appendVolume(run.volumes[volume]);
        if (volume >= 1) {
            const MotionEstimate none{};
            motionLog.append(volume, run.motion.empty() ? none : run.motion[volume]);
        }
        const Clock::time_point before = Clock::now();
        if (!plugin.executePreStep()) ++outcome.refusedSteps;
        if (!plugin.executePostStep()) ++outcome.refusedSteps;
        outcome.stepSeconds.push_back(std::chrono::duration<double>(Clock::now() - before).count());
        if (settings.showProgress) {
            std::fprintf(stderr, "\r\x1b[Kvolume %d/%d", volume + 1, volumeCount);
            std::fflush(stderr);
            state.progressLineShown = volume + 1 < volumeCount;
            if (!state.progressLineShown) std::fprintf(stderr, "\n");
        }
    }
    if (!plugin.executePostRun()) ++outcome.refusedSteps;
    return outcome;
}

bool writeRawMaps(const std::string& path) {
    std::ofstream out(path, std::ios::binary);
    const auto& maps = host().pluginMaps;
    out.write(reinterpret_cast<const char*>(maps.data()), static_cast<std::streamsize>(maps.size() * sizeof(float)));
    return static_cast<bool>(out);
}

bool writeHostLog(const std::string& path) {
    std::ofstream out(path, std::ios::binary);
    for (const std::string& line : host().log) out << line << '\n';
    return static_cast<bool>(out);
}

}  // namespace korvanth
