// The host's motion estimate of one volume, at a small and a large matrix,
// for a volume close to the previous one (the usual case in a run, started
// from the previous estimate) and for a jerk of several mm and degrees
// started from rest. Counters: Gauss–Newton steps and sample points.
//
// Goals on the project's machine: 64 × 64 × 34 within 25 ms, 104 × 104 × 72
// within 80 ms (a tenth of a 0.8 s TR).

#include "korvanth/run/series.h"
#include "korvanth/sources/estimated_motion.h"
#include "korvanth/sources/motion_estimator.h"
#include "korvanth/sources/synthetic_run.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using namespace korvanth;

struct Case {
    std::vector<std::vector<int16_t>> volumes;
    std::unique_ptr<MotionEstimator> estimator;
    std::vector<RigidTransform> estimates;  // of every volume, in a run's order
};

// The phantom at 64 × 64 × 34 (3 mm voxels) or 104 × 104 × 72 (2 mm voxels),
// moved by its trace times `motionScale`.
Case& caseOf(int size, int motionScale) {
    static std::unique_ptr<Case> cases[2][2];
    std::unique_ptr<Case>& slot = cases[size][motionScale > 1 ? 1 : 0];
    if (slot) return *slot;
    slot = std::make_unique<Case>();
    SyntheticOptions options;
    options.dimX = size == 0 ? 64 : 104;
    options.dimY = options.dimX;
    options.dimZ = size == 0 ? 34 : 72;
    options.voxelSizeMm = size == 0 ? 3.0 : 2.0;
    options.volumes = 24;
    options.motionScale = motionScale;
    SyntheticSource source(options);
    SeriesInfo info;
    std::string error;
    source.open(info, error);
    for (std::vector<int16_t> volume; source.next(volume, error) == VolumeSource::Next::Volume;)
        slot->volumes.push_back(volume);
    double matrix[3][4];
    voxelToWorld(info.geometry, matrix);
    slot->estimator = std::make_unique<MotionEstimator>(slot->volumes[0].data(), info.dims, matrix);
    slot->estimates.push_back(RigidTransform{});
    for (std::size_t t = 1; t < slot->volumes.size(); ++t)
        slot->estimates.push_back(slot->estimator->estimate(slot->volumes[t].data(), slot->estimates.back()).transform);
    return *slot;
}

// Volume 17 of 24: past the phantom's first jerk, in its settled phase.
constexpr std::size_t measured = 17;

void estimateVolume(benchmark::State& state, bool jerk) {
    Case& c = caseOf(static_cast<int>(state.range(0)), jerk ? 4 : 1);
    const RigidTransform start = jerk ? RigidTransform{} : c.estimates[measured - 1];
    MotionEstimator::Result result;
    for (auto _ : state) {
        result = c.estimator->estimate(c.volumes[measured].data(), start);
        benchmark::DoNotOptimize(result);
    }
    const MotionEstimate moved = hostUnitsFromRigid(result.parameters);
    state.counters["steps"] = result.iterations;
    state.counters["coarse_points"] = static_cast<double>(c.estimator->samplePoints()[0]);
    state.counters["fine_points"] = static_cast<double>(c.estimator->samplePoints()[1]);
    state.counters["moved_mm_deg"] = std::abs(moved[0]) + std::abs(moved[1]) + std::abs(moved[2]) + std::abs(moved[3]) +
                                     std::abs(moved[4]) + std::abs(moved[5]);
    state.SetLabel(state.range(0) == 0 ? "64x64x34" : "104x104x72");
}

void BM_MotionEstimateNextVolume(benchmark::State& state) { estimateVolume(state, false); }
void BM_MotionEstimateJerkFromRest(benchmark::State& state) { estimateVolume(state, true); }

BENCHMARK(BM_MotionEstimateNextVolume)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MotionEstimateJerkFromRest)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
