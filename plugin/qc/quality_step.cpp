#include "plugin/qc/quality_step.h"

#include "plugin/host_binding/host_function_table.h"
#include "plugin/qc/motion_log.h"
#include "tarvex/host_buffer_sizes.h"

#include <cstdio>
#include <limits>

namespace tarvex {

namespace {
constexpr int32_t prefetchDistance = 8;  // voxels

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
    const int32_t motionCount = state.motionParamCount;
    std::vector<float> predictors(static_cast<std::size_t>(motionCount) + 1, 0.0f);
    if (step >= 2) {
        const MotionLogReading motion = readMotionParameters(targetFolder, projectName, step, !repeated);
        for (int32_t i = 0; i < motionCount && i < motionParameterCount; ++i) predictors[i] = motion.values[i];
        if (!motion.problem.empty()) faults.report(RunFaultLog::MotionLog, motion.problem);
    }
    predictors[motionCount] = 1.0f;
    const auto rowLength = static_cast<int32_t>(predictors.size());

    const int32_t voxelCount = state.voxelCount;
    if (voxelCount > 0 && state.voxelModels.size() != static_cast<std::size_t>(voxelCount)) {
        faults.report(RunFaultLog::HostData,
                      "Step " + std::to_string(step) + " called before the run's voxels were set up; step skipped.");
        return false;
    }
    const int32_t tsnrMap = state.motionParamCount + state.extraMapCount;
    auto hostDataMissing = [&](const char* what) {
        faults.report(RunFaultLog::HostData,
                      "Host returned no " + std::string(what) + " at step " + std::to_string(step) + "; step skipped.");
        return false;
    };

    for (int32_t v = 0; v < voxelCount; ++v) {
        // Memory hints only: the model objects twice as far ahead, and the
        // state they own (which lies apart from them) a few voxels ahead.
        // Which voxels are masked is not known here, so every voxel's model
        // is hinted; an unmasked one owns no state.
        if (v + prefetchDistance < voxelCount)
            state.voxelModels[static_cast<std::size_t>(v + prefetchDistance)].prefetchState();
        if (v + 2 * prefetchDistance < voxelCount)
            state.voxelModels[static_cast<std::size_t>(v + 2 * prefetchDistance)].prefetchModel();
        int16_t** const firstCourse = host.tGetTimeCourseData();
        if (firstCourse == nullptr || firstCourse[0] == nullptr) return hostDataMissing("time course");
        if (firstCourse[0][v] <= maskThreshold) continue;

        // Every host pointer this voxel needs is asked for (each once, for
        // its one use) before the model changes, so that a missing one leaves
        // the voxel's model and map entries untouched.
        int16_t** const regressionCourse = host.tGetTimeCourseData();
        int16_t** const statisticsCourse = host.tGetTimeCourseData();
        if (regressionCourse == nullptr || regressionCourse[step] == nullptr || statisticsCourse == nullptr ||
            statisticsCourse[step] == nullptr)
            return hostDataMissing("time course");
        float* mapBlocks[pluginMapCount];
        for (int32_t j = 0; j <= tsnrMap; ++j) {
            mapBlocks[j] = host.tGetPluginMaps();
            if (mapBlocks[j] == nullptr) return hostDataMissing("plug-in maps");
        }

        // The row is read in place: no per-voxel copy of it and no copy of
        // the coefficients, with the same model state as updateRegression.
        VoxelModel& model = state.voxelModels[static_cast<std::size_t>(v)];
        model.updateRegressionRow(static_cast<float>(regressionCourse[step][v]), predictors.data(), rowLength);
        model.updateSignalStatistics(static_cast<double>(statisticsCourse[step][v]));
        for (int32_t j = 0; j <= motionCount; ++j) {
            double t = model.tValue(j);
            if (j == motionCount) t = t / constantTScale;
            mapBlocks[j][v + j * voxelCount] = static_cast<float>(t);
        }
        mapBlocks[tsnrMap][v + tsnrMap * voxelCount] = static_cast<float>(model.scaledTsnr);
    }

    state.stepCount = step + 1;
    return true;
}

}  // namespace tarvex
