// Benchmarks of the plug-in's per-volume work against an in-process fake host.
//
// Before anything is measured, the scalar VoxelModel, the floor (floor.h) and
// the plug-in with each lane update this processor runs are fed the same input
// and must give the same map bits at every step; a mismatch aborts the program.

#include "fake_host.h"
#include "floor.h"

#include "plugin/qc/lane_block.h"
#include "plugin/qc/motion_log.h"
#include "plugin/qc/voxel_model.h"
#include "plugin/tarvex_plugin.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace tarvex_bench {
namespace {

struct VolumeSize {
    int32_t x, y, z;
};
constexpr VolumeSize volumeSizes[] = {{64, 64, 33}, {104, 104, 72}};

// Lane updates by benchmark argument: 0 is the plug-in's own choice.
constexpr int64_t chosenLanes = 0;
struct LaneChoice {
    const char* name;
    tarvex::LaneInstructions instructions;
};
constexpr LaneChoice laneChoices[] = {{"portable", tarvex::LaneInstructions::Portable},
                                      {"sse2", tarvex::LaneInstructions::Sse2},
                                      {"avx2", tarvex::LaneInstructions::Avx2}};

const char* laneName(tarvex::LaneInstructions instructions) {
    for (const LaneChoice& choice : laneChoices)
        if (choice.instructions == instructions) return choice.name;
    return "?";
}

// ---------------------------------------------------------------------------
// Predictor rows of every step, as the plug-in builds them from the motion log
// that every FakeRun writes (all runs write the same log).

std::vector<PredictorRow> knownRows;

const PredictorRow& rowOfStep(int32_t step) {
    if (static_cast<std::size_t>(step) >= knownRows.size()) {
        FakeRun& run = currentRun();
        for (auto s = static_cast<int32_t>(knownRows.size()); s <= step; ++s) {
            PredictorRow row{};
            if (s >= 2) {
                const tarvex::MotionLogReading reading =
                    tarvex::readMotionParameters(run.folder.c_str(), run.projectName.c_str(), s);
                for (int i = 0; i < 6; ++i) row[i] = reading.values[i];
            }
            row[6] = 1.0f;
            knownRows.push_back(row);
        }
    }
    return knownRows[static_cast<std::size_t>(step)];
}

// ---------------------------------------------------------------------------
// The plug-in in a prepared state: a run at one size with `history` steps done.

struct MemoryFigures {
    int64_t heap = 0;
    int64_t resident = 0;
    static MemoryFigures now() { return {heapBytesInUse(), residentBytes()}; }
};

struct PreparedPlugin {
    int sizeIndex = -1;
    int32_t history = -1;
    int64_t lanes = -1;
    bool lanesAvailable = true;
    std::unique_ptr<FakeRun> run;
    std::unique_ptr<TarvexPlugin> plugin;
    MemoryFigures beforeRun, afterFirstStep, afterHistory;
};

std::unique_ptr<PreparedPlugin> preparedPlugin;

PreparedPlugin& preparePlugin(int sizeIndex, int32_t history, int64_t lanes) {
    if (preparedPlugin && preparedPlugin->sizeIndex == sizeIndex && preparedPlugin->history == history &&
        preparedPlugin->lanes == lanes) {
        preparedPlugin->run->install();
        return *preparedPlugin;
    }
    preparedPlugin.reset();  // only one large state at a time
    auto prepared = std::make_unique<PreparedPlugin>();
    prepared->sizeIndex = sizeIndex;
    prepared->history = history;
    prepared->lanes = lanes;
    const VolumeSize size = volumeSizes[sizeIndex];
    prepared->run = std::make_unique<FakeRun>(size.x, size.y, size.z);
    prepared->run->install();
    prepared->plugin = std::make_unique<TarvexPlugin>();
    prepared->plugin->executePreRun();
    prepared->beforeRun = MemoryFigures::now();
    prepared->plugin->executePreStep();
    if (lanes != chosenLanes) {
        prepared->lanesAvailable = prepared->plugin->voxelModels.useInstructions(laneChoices[lanes - 1].instructions);
    }
    for (int32_t step = 0; step < history; ++step) {
        prepared->plugin->executePreStep();
        prepared->plugin->executePostStep();
        if (step == 0) prepared->afterFirstStep = MemoryFigures::now();
    }
    prepared->afterHistory = MemoryFigures::now();
    preparedPlugin = std::move(prepared);
    return *preparedPlugin;
}

void setMemoryCounters(benchmark::State& state, const PreparedPlugin& prepared) {
    const double masked = prepared.run->maskedCount;
    const double laterSteps = prepared.history - 1;
    state.counters["masked"] = masked;
    state.counters["heapB/maskedVox@step0"] =
        static_cast<double>(prepared.afterFirstStep.heap - prepared.beforeRun.heap) / masked;
    state.counters["heapB/maskedVox/step"] =
        static_cast<double>(prepared.afterHistory.heap - prepared.afterFirstStep.heap) / laterSteps / masked;
    state.counters["rssB/maskedVox@step0"] =
        static_cast<double>(prepared.afterFirstStep.resident - prepared.beforeRun.resident) / masked;
    state.counters["rssB/maskedVox/step"] =
        static_cast<double>(prepared.afterHistory.resident - prepared.afterFirstStep.resident) / laterSteps / masked;
    state.counters["peakRssMB"] = static_cast<double>(peakResidentBytes()) / 1048576.0;
}

// Seconds per masked voxel per step, shown by the console as e.g. "95n" (ns).
benchmark::Counter perMaskedVoxel(int32_t masked) {
    return benchmark::Counter(masked, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// One executePostStep after `history` steps of the run (each timed iteration
// is one more step, so the history grows by the iteration count), with the
// lane update `lanes` (0: the plug-in's choice, 1 to 3: laneChoices).
void BM_PostStep(benchmark::State& state) {
    const int64_t lanes = state.range(2);
    PreparedPlugin& prepared =
        preparePlugin(static_cast<int>(state.range(0)), static_cast<int32_t>(state.range(1)), lanes);
    if (!prepared.lanesAvailable) {
        state.SkipWithError("lane update not available on this processor");
        return;
    }
    state.SetLabel(lanes == chosenLanes ? laneName(tarvex::fastestLaneInstructions()) : laneChoices[lanes - 1].name);
    for (auto _ : state) {
        if (prepared.plugin->stepCount + 1 >= FakeRun::maxTimePoints) {
            state.SkipWithError("time course exhausted");
            break;
        }
        benchmark::DoNotOptimize(prepared.plugin->executePostStep());
    }
    setMemoryCounters(state, prepared);
    state.counters["s/maskedVox"] = perMaskedVoxel(prepared.run->maskedCount);
    state.counters["stepAtEnd"] = prepared.plugin->stepCount;
}

// The floor at the same sizes and history.
struct PreparedFloor {
    int sizeIndex = -1;
    int32_t history = -1;
    int32_t step = 0;
    std::unique_ptr<FakeRun> run;
    std::unique_ptr<FloorRun> floor;
};

std::unique_ptr<PreparedFloor> preparedFloor;

PreparedFloor& prepareFloor(int sizeIndex, int32_t history) {
    if (preparedFloor && preparedFloor->sizeIndex == sizeIndex && preparedFloor->history == history)
        return *preparedFloor;
    preparedFloor.reset();
    auto prepared = std::make_unique<PreparedFloor>();
    prepared->sizeIndex = sizeIndex;
    prepared->history = history;
    const VolumeSize size = volumeSizes[sizeIndex];
    prepared->run = std::make_unique<FakeRun>(size.x, size.y, size.z);
    prepared->run->install();
    prepared->floor =
        std::make_unique<FloorRun>(prepared->run->voxelCount, prepared->run->timeCourse.data(), prepared->run->maps);
    for (; prepared->step < history; ++prepared->step) prepared->floor->step(prepared->step, rowOfStep(prepared->step));
    preparedFloor = std::move(prepared);
    return *preparedFloor;
}

void BM_Floor(benchmark::State& state) {
    PreparedFloor& prepared = prepareFloor(static_cast<int>(state.range(0)), static_cast<int32_t>(state.range(1)));
    rowOfStep(prepared.step + 4096 / 4);  // rows ready outside the timing
    for (auto _ : state) {
        if (prepared.step + 1 >= FakeRun::maxTimePoints ||
            static_cast<std::size_t>(prepared.step) >= knownRows.size()) {
            state.SkipWithError("time course exhausted");
            break;
        }
        prepared.floor->step(prepared.step, knownRows[static_cast<std::size_t>(prepared.step)]);
        ++prepared.step;
        benchmark::ClobberMemory();
    }
    state.counters["masked"] = prepared.floor->maskedCount();
    state.counters["stateB/maskedVox"] =
        static_cast<double>(prepared.floor->stateBytes()) / prepared.floor->maskedCount();
    state.counters["s/maskedVox"] = perMaskedVoxel(prepared.floor->maskedCount());
    state.counters["stepAtEnd"] = prepared.step;
}

// The first executePreStep of a run on a new plug-in object: sizing the
// models and resetting maps 0 to 6. Creation and release of the object are
// outside the timing.
void BM_FirstPreStep(benchmark::State& state) {
    preparedPlugin.reset();
    preparedFloor.reset();
    const VolumeSize size = volumeSizes[state.range(0)];
    FakeRun run(size.x, size.y, size.z);
    run.install();
    int64_t heapBytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto plugin = std::make_unique<TarvexPlugin>();
        plugin->executePreRun();
        const int64_t heapBefore = heapBytesInUse();
        state.ResumeTiming();
        benchmark::DoNotOptimize(plugin->executePreStep());
        state.PauseTiming();
        heapBytes = heapBytesInUse() - heapBefore;
        plugin.reset();
        state.ResumeTiming();
    }
    state.counters["voxels"] = run.voxelCount;
    state.counters["heapB/voxel"] = static_cast<double>(heapBytes) / run.voxelCount;
}

// One voxel's work through the model's public operations: updateRegression
// with the row by value (the returned copy released), updateSignalStatistics
// and the seven t-values.
struct VoxelInputs {
    std::vector<std::vector<float>> rows;
    std::vector<float> intensities;
    VoxelInputs() {
        for (int32_t step = 2; step < 2 + 16; ++step) {
            const PredictorRow& row = rowOfStep(step);
            rows.emplace_back(row.begin(), row.end());
        }
        for (int i = 0; i < 16; ++i) intensities.push_back(static_cast<float>(900 + (i * 7) % 23));
    }
};

void primeModel(tarvex::VoxelModel& model, const VoxelInputs& inputs, int samples) {
    for (int i = 0; i < samples; ++i) {
        model.updateRegression(inputs.intensities[i % 16], inputs.rows[i % 16]);
        model.updateSignalStatistics(inputs.intensities[i % 16]);
    }
}

void BM_VoxelModelUpdate(benchmark::State& state) {
    FakeRun run(4, 4, 4);
    run.install();
    const VoxelInputs inputs;
    tarvex::VoxelModel model;
    primeModel(model, inputs, 100);
    std::size_t i = 0;
    for (auto _ : state) {
        const float y = inputs.intensities[i % 16];
        std::vector<float> coefficients = model.updateRegression(y, inputs.rows[i % 16]);
        benchmark::DoNotOptimize(coefficients.data());
        benchmark::DoNotOptimize(model.updateSignalStatistics(y));
        double sum = 0.0;
        for (int32_t j = 0; j < 7; ++j) sum += model.tValue(j);
        benchmark::DoNotOptimize(sum);
        benchmark::DoNotOptimize(model.scaledTsnr);
        ++i;
    }
}

// One block of four voxels through the lane update alone (state in the
// first-level cache); the counter is per voxel.
void BM_LaneUpdate(benchmark::State& state) {
    const LaneChoice& choice = laneChoices[state.range(0) - 1];
    const tarvex::LaneUpdate update = tarvex::laneUpdate(choice.instructions);
    if (update == nullptr) {
        state.SkipWithError("lane update not available on this processor");
        return;
    }
    state.SetLabel(choice.name);
    FakeRun run(4, 4, 4);
    run.install();
    const VoxelInputs inputs;
    tarvex::LaneBlock block = tarvex::freshLaneBlock();
    tarvex::LaneMapValues maps;
    auto samples = [&](std::size_t i) {
        tarvex::LaneSamples lanes;
        for (int lane = 0; lane < tarvex::laneCount; ++lane) {
            const auto y = static_cast<int32_t>(inputs.intensities[(i + static_cast<std::size_t>(lane)) % 16]);
            lanes.regression[lane] = lanes.statistics[lane] = y;
        }
        return lanes;
    };
    for (std::size_t i = 0; i < 100; ++i) update(block, inputs.rows[i % 16].data(), samples(i), maps);
    std::size_t i = 0;
    for (auto _ : state) {
        update(block, inputs.rows[i % 16].data(), samples(i), maps);
        benchmark::DoNotOptimize(maps.values);
        ++i;
    }
    state.counters["s/voxel"] = perMaskedVoxel(tarvex::laneCount);
}

// readMotionParameters at a given step: the file is read from its start.
void BM_ReadMotionParameters(benchmark::State& state) {
    FakeRun run(4, 4, 4);
    run.install();
    const auto step = static_cast<int32_t>(state.range(0));
    for (auto _ : state) {
        tarvex::MotionLogReading reading =
            tarvex::readMotionParameters(run.folder.c_str(), run.projectName.c_str(), step);
        benchmark::DoNotOptimize(reading.values.data());
    }
}

// ---------------------------------------------------------------------------
// Every path must give the scalar model's maps, bit for bit, at every step.

[[noreturn]] void mapsDiffer(const char* path, const VolumeSize& size, int32_t step, const char* culprit) {
    std::fprintf(stderr, "%s and scalar model maps differ at %dx%dx%d, step %d: %s\n", path, size.x, size.y, size.z,
                 step, culprit);
    std::abort();
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// The plug-in with one lane update, in a run of its own.
struct LanePath {
    const char* name;
    std::unique_ptr<FakeRun> run;
    std::unique_ptr<TarvexPlugin> plugin;
};

std::vector<LanePath> lanePaths(const VolumeSize& size) {
    std::vector<LanePath> paths;
    for (const LaneChoice& choice : laneChoices) {
        LanePath path{choice.name, std::make_unique<FakeRun>(size.x, size.y, size.z), std::make_unique<TarvexPlugin>()};
        path.run->install();
        path.plugin->executePreRun();
        path.plugin->executePreStep();
        if (path.plugin->voxelModels.useInstructions(choice.instructions))
            paths.push_back(std::move(path));
        else
            std::fprintf(stderr, "check: no %s lane update on this processor\n", choice.name);
    }
    return paths;
}

// The scalar path: one VoxelModel per voxel, fed as the plug-in once fed its
// models, mask taken afresh at every step.
void referenceStep(FakeRun& run, std::vector<tarvex::VoxelModel>& models, int32_t step, std::vector<float>& maps) {
    const PredictorRow& row = rowOfStep(step);
    const std::vector<float> predictors(row.begin(), row.end());
    const int32_t count = run.voxelCount;
    for (int32_t v = 0; v < count; ++v) {
        if (run.timeCourse[0][v] <= tarvex::maskThreshold) continue;
        const int16_t value = run.timeCourse[static_cast<std::size_t>(step)][v];
        tarvex::VoxelModel& model = models[static_cast<std::size_t>(v)];
        model.updateRegression(static_cast<float>(value), predictors);
        model.updateSignalStatistics(static_cast<double>(value));
        for (int32_t j = 0; j < floorPredictorCount; ++j) {
            double t = model.tValue(j);
            if (j == floorPredictorCount - 1) t = t / tarvex::constantTScale;
            maps[static_cast<std::size_t>(v + j * count)] = static_cast<float>(t);
        }
        maps[static_cast<std::size_t>(v + floorPredictorCount * count)] = static_cast<float>(model.scaledTsnr);
    }
}

// Half way through, every seventh voxel crosses the mask (the run's first
// volume changes), so that voxels join and leave blocks that others share.
void changeMask(FakeRun& run) {
    for (int32_t v = 3; v < run.voxelCount; v += 7) {
        int16_t& first = run.volumes[0][static_cast<std::size_t>(v)];
        first = first > tarvex::maskThreshold ? int16_t{50} : int16_t{500};
    }
}

void checkPathsMatch(int sizeIndex, int32_t steps) {
    const VolumeSize size = volumeSizes[sizeIndex];
    std::vector<LanePath> paths = lanePaths(size);
    FakeRun reference(size.x, size.y, size.z);
    reference.install();
    std::vector<tarvex::VoxelModel> models(static_cast<std::size_t>(reference.voxelCount));
    std::vector<float> referenceMaps = reference.maps;
    FloorRun floor(reference.voxelCount, reference.timeCourse.data(), reference.maps);
    const int32_t maskChange = steps >= 4 ? steps / 2 : steps;
    for (int32_t step = 0; step < steps; ++step) {
        if (step == maskChange) {
            changeMask(reference);
            for (LanePath& path : paths) changeMask(*path.run);
        }
        reference.install();
        referenceStep(reference, models, step, referenceMaps);
        if (step < maskChange) {  // the floor keeps its first mask
            floor.step(step, rowOfStep(step));
            if (!sameBits(floor.maps(), referenceMaps)) mapsDiffer("floor", size, step, "the floor is wrong");
        }
        for (LanePath& path : paths) {
            path.run->install();
            path.plugin->executePreStep();
            if (!path.plugin->executePostStep() || !sameBits(path.run->maps, referenceMaps))
                mapsDiffer(path.name, size, step, "the plug-in is wrong");
        }
    }
    std::fprintf(stderr,
                 "check: %dx%dx%d, %d masked voxels, %d steps (mask changed at step %d, floor before it): scalar "
                 "model, floor and %zu lane updates bit-identical\n",
                 size.x, size.y, size.z, reference.maskedCount, steps, maskChange, paths.size());
}

constexpr int64_t small = 0, large = 1;

constexpr int64_t portable = 1, sse2 = 2, avx2 = 3;

BENCHMARK(BM_PostStep)
    ->Args({small, 10, chosenLanes})
    ->Args({small, 500, chosenLanes})
    ->ArgNames({"size", "history", "lanes"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(40);
BENCHMARK(BM_PostStep)
    ->Args({large, 10, chosenLanes})
    ->Args({large, 500, chosenLanes})
    ->Args({large, 10, portable})
    ->Args({large, 10, sse2})
    ->Args({large, 10, avx2})
    ->ArgNames({"size", "history", "lanes"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10);
BENCHMARK(BM_Floor)
    ->Args({small, 10})
    ->Args({small, 500})
    ->ArgNames({"size", "history"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(40);
BENCHMARK(BM_Floor)
    ->Args({large, 10})
    ->Args({large, 500})
    ->ArgNames({"size", "history"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10);
BENCHMARK(BM_FirstPreStep)->Arg(small)->Arg(large)->ArgName("size")->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_VoxelModelUpdate);
BENCHMARK(BM_LaneUpdate)->Arg(portable)->Arg(sse2)->Arg(avx2)->ArgName("lanes");
BENCHMARK(BM_ReadMotionParameters)->Arg(10)->Arg(2000)->ArgName("step")->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tarvex_bench

int main(int argc, char** argv) {
    // Defaults that the command line may override (a later flag wins):
    // five repetitions, aggregates (mean, median, stddev, cv) on the console.
    std::vector<char*> args{argv[0]};
    char repetitions[] = "--benchmark_repetitions=5";
    char aggregates[] = "--benchmark_display_aggregates_only=true";
    args.push_back(repetitions);
    args.push_back(aggregates);
    // --floor_check_steps=N: steps of the check (default 40, at least 1).
    int32_t floorCheckSteps = 40;
    const char floorFlag[] = "--floor_check_steps=";
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], floorFlag, sizeof floorFlag - 1) == 0)
            floorCheckSteps = std::max(1, std::atoi(argv[i] + sizeof floorFlag - 1));
        else
            args.push_back(argv[i]);
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
    std::fprintf(stderr, "sizes: 0 = 64x64x33, 1 = 104x104x72\n");
    tarvex_bench::checkPathsMatch(0, floorCheckSteps);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    tarvex_bench::preparedPlugin.reset();
    tarvex_bench::preparedFloor.reset();
    return 0;
}
