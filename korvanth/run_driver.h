// Driving a plug-in through a run, volume by volume, as the host does during
// an acquisition.
#pragma once

#include "motion_log_writer.h"
#include "tarvex/krv_plugin_interface.h"

#include <cstdint>
#include <string>
#include <vector>

namespace korvanth {

// A functional run: its volumes (dims[0] * dims[1] * dims[2] intensities
// each, x fastest) and, optionally, one motion estimate per volume.
struct RunData {
    int32_t dims[3] = {0, 0, 0};
    double voxelSizeMm[3] = {3.0, 3.0, 3.0};
    double repetitionTimeSeconds = 2.0;
    std::vector<std::vector<int16_t>> volumes;
    std::vector<MotionEstimate> motion;  // empty: the motion log carries zeros
};

struct RunSettings {
    std::string targetFolder;  // with trailing separator; the motion log goes here
    std::string projectName = "synthetic";
    double paceSeconds = 0.0;  // > 0: wait for each volume as a scanner would
    bool showProgress = false;
};

struct RunOutcome {
    std::vector<double> stepSeconds;  // executePreStep + executePostStep of each volume
    int32_t refusedSteps = 0;         // operations that returned false
    std::string motionLogPath;
};

// Runs executePreRun, then per volume: acquire it, append its motion line
// (from the second volume on), executePreStep, executePostStep; then
// executePostRun. The host state holds the maps and the log afterwards.
RunOutcome driveRun(KRVPluginInterface& plugin, const RunData& run, const RunSettings& settings);

// The plug-in maps as raw little-endian float32, map after map.
bool writeRawMaps(const std::string& path);
// The host log, one raw line per entry.
bool writeHostLog(const std::string& path);

}  // namespace korvanth
