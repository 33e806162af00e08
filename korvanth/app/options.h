// What one invocation of Korvanth is asked to do (the command line's
// options) and the exit codes it ends with, as the README promises them.
#pragma once

#include "korvanth/run/volume_metrics.h"
#include "korvanth/sources/synthetic_run.h"

#include <cstdint>
#include <string>
#include <vector>

namespace korvanth {

// Exit codes of Korvanth.
enum ExitCode : int {
    exitSuccess = 0,
    exitBadInput = 2,      // a bad input file or option; nothing was written
    exitHostRefused = 3,   // the plug-in's initPlugin refused the host
    exitPluginFailed = 4,  // a plug-in operation returned false
    exitPartialRun = 5,    // the run ended early; its results are committed, marked partial
};

struct KorvanthOptions {
    std::string pluginPath;
    std::string hostVersion = "3.1.0";
    std::string outFolder = "korvanth-out";
    std::string projectName;  // empty: "synthetic" or the name of the bold file
    std::string boldPath;
    std::string watchFolder;
    bool includeExisting = false;
    double idleTimeout = -1.0;  // < 0: 3 TR + 10 s
    double pollSettle = -1.0;   // >= 0: judge the watched files by polling, complete once unchanged this long
    bool volumesGiven = false;
    std::string motionPath;
    std::string motionFormat = "auto";
    int32_t referenceVolume = 1;  // from 1, for Korvanth's own estimates
    std::string compareMotionPath;
    double repetitionTime = 0.0;  // 0: from the file, or the synthetic run's
    bool realtime = false;
    bool initOnly = false;
    std::vector<int32_t> dims{48, 48, 24};
    SyntheticOptions synthetic;
    std::string serve;     // [ADDR:]PORT of the live view; empty: none
    double linger = -1.0;  // seconds the live view stays after the run; negative: until Ctrl-C
    FdThresholds fdThresholds = defaultFdThresholds;  // --fd-thresholds, sorted as it was read
    double targetMinutes = defaultTargetMinutes;
    bool session = false;       // --session: follow the watched folder, every new series a run
    double sessionIdle = -1.0;  // end the session when no new file came for this long; < 0: never
    int32_t minVolumes = 3;     // a series with fewer volumes is not a functional run
};

}  // namespace korvanth
