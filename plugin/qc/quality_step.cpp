#include "plugin/qc/quality_step.h"

#include "plugin/host_binding/host_function_table.h"
#include "plugin/qc/motion_log.h"
#include "tarvex/host_buffer_sizes.h"

#include <cstdio>
#include <limits>

namespace tarvex {

namespace {
// Asks the host for a text into a zeroed buffer; a host that fills the whole
// buffer without a terminator is cut inside it.
template <typename Query>
void askHostText(Query query, char (&buffer)[hostTextBufferSize]) {
    query(buffer);
    buffer[hostTextBufferSize - 1] = '\0';
}
}  // namespace

void RunFaultLog::report(Kind kind, const std::string& line) {
    if (count_[kind]++ == 0) hostFunctions().tLogText(line.c_str());
}

void RunFaultLog::finishRun() {
    int heldBack = 0;
    for (int& count : count_) {
        if (count > 1) heldBack += count - 1;
        count = 0;
    }
    lastStep_ = -1;
    if (heldBack > 0) {
        const std::string line = std::to_string(heldBack) + " further input problem(s) of this run were not logged.";
        hostFunctions().tLogText(line.c_str());
    }
}

bool RunFaultLog::repeatsStep(int32_t step) {
    const bool repeated = step == lastStep_;
    lastStep_ = step;
    return repeated;
}

bool dimensionsUsable(int32_t dimX, int32_t dimY, int32_t dimZ) {
    if (dimX <= 0 || dimY <= 0 || dimZ <= 0) return false;
    // The last map entry, 8 * voxelCount - 1, must fit a signed 32-bit index.
    const int64_t largestVoxelCount = (static_cast<int64_t>(std::numeric_limits<int32_t>::max()) + 1) / pluginMapCount;
    const int64_t slice = static_cast<int64_t>(dimX) * dimY;
    return slice <= largestVoxelCount && slice * dimZ <= largestVoxelCount;
}

bool updateQualityMaps(QualityStepState state, RunFaultLog& faults) {
    const HostFunctionTable& host = hostFunctions();
    if (state.stepCount == std::numeric_limits<int32_t>::max()) {
        // The counter cannot advance past its largest value: the step is refused untouched.
        faults.report(RunFaultLog::HostData, "Step counter at its largest value; step skipped.");
        return false;
    }

    char targetFolder[hostTextBufferSize] = {};
    char projectName[hostTextBufferSize] = {};
    askHostText(host.tGetTargetFolder, targetFolder);
    askHostText(host.tGetProjectName, projectName);

    const bool repeated = faults.repeatsStep(state.stepCount);
    if (state.stepCount == 1 && !repeated) {
        char line[sizeof "Processing project: " + hostTextBufferSize];
        std::snprintf(line, sizeof line, "Processing project: %s", projectName);
        host.tLogText(line);
    }

    const int32_t step = state.stepCount;
    float predictors[lanePredictorCount] = {};  // the six motion values, then the constant
    if (step >= 2) {
        const MotionLogReading motion = readMotionParameters(targetFolder, projectName, step, !repeated);
        for (int32_t i = 0; i < motionParameterCount; ++i) predictors[i] = motion.values[i];
        if (!motion.problem.empty()) faults.report(RunFaultLog::MotionLog, motion.problem);
    }
    predictors[motionParameterCount] = 1.0f;

    const int32_t voxelCount = state.voxelCount;
    VoxelModelBlocks& models = state.voxelModels;
    if (voxelCount > 0 && models.size() != static_cast<std::size_t>(voxelCount)) {
        faults.report(RunFaultLog::HostData,
                      "Step " + std::to_string(step) + " called before the run's voxels were set up; step skipped.");
        return false;
    }
    models.beginStep(predictors);
    auto hostDataMissing = [&](const char* what) {
        models.finishStep();  // the voxels before this one are done, as the step promises
        faults.report(RunFaultLog::HostData,
                      "Host returned no " + std::string(what) + " at step " + std::to_string(step) + "; step skipped.");
        return false;
    };

    for (int32_t v = 0; v < voxelCount; ++v) {
        int16_t** const firstCourse = host.tGetTimeCourseData();
        if (firstCourse == nullptr || firstCourse[0] == nullptr) return hostDataMissing("time course");
        if (firstCourse[0][v] <= maskThreshold) continue;

        // Every host pointer this voxel needs is asked for (each once, for
        // its one use) before its model changes, so that a missing one leaves
        // the voxel's model and map entries untouched.
        int16_t** const regressionCourse = host.tGetTimeCourseData();
        int16_t** const statisticsCourse = host.tGetTimeCourseData();
        if (regressionCourse == nullptr || regressionCourse[step] == nullptr || statisticsCourse == nullptr ||
            statisticsCourse[step] == nullptr)
            return hostDataMissing("time course");
        MapBlocks& mapBlocks = models.mapBlocksOf(v);
        for (float*& block : mapBlocks.blocks) {
            block = host.tGetPluginMaps();
            if (block == nullptr) return hostDataMissing("plug-in maps");
        }
        models.add(regressionCourse[step][v], statisticsCourse[step][v]);
    }
    models.finishStep();

    state.stepCount = step + 1;
    return true;
}

}  // namespace tarvex
