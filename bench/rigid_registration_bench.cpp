// The host's motion estimate of one volume, at a small and a large matrix,
// for a volume close to the previous one (the usual case in a run, started
// from the previous estimate), the same volume with most of one slice's
// signal lost (the slice weights at work), a jerk of several mm and degrees
// started from rest, a fit lost from a start turned 92 degrees away and found
// again from the reference's place, and noise without a head, which every
// start fails on (the longest a volume takes). Counters: Gauss–Newton steps
// over every start tried, the start that converged (0 the given one, 1 the
// identity, 2 the head's centre), and sample points. Each case runs with the
// estimator on one thread and on two.
//
// SyntheticRun times a whole run of 40 volumes as the live path feeds it,
// every volume after the reference started from the last good fit as
// EstimatedMotionSource chains them, on the two grids above (sizes 0, 1) and
// on the live path's own (size 2): the synthetic run korvanth-scanner writes,
// 3 mm voxels at 104 × 104 × 72. Its time is the whole run's, per_volume a
// volume's; steps and most_steps are the mean and largest steps per volume,
// retried the volumes not fitted from the given start.
//
// Goals on the project's machine: 64 × 64 × 34 within 25 ms, 104 × 104 × 72
// within 80 ms (a tenth of a 0.8 s TR).

#include "korvanth/run/series.h"
#include "korvanth/sources/motion/estimated_motion_source.h"
#include "korvanth/sources/motion/rigid_registration.h"
#include "korvanth/sources/synthetic_run.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace korvanth;

// A phantom run's volumes and an estimator on its first, on 1 thread and on 2.
struct PhantomRun {
    std::vector<std::vector<int16_t>> volumes;
    std::unique_ptr<RigidRegistration> estimators[2];
};

void makePhantomRun(const SyntheticOptions& options, PhantomRun& run) {
    SyntheticSource source(options);
    SeriesInfo info;
    std::string error;
    source.open(info, error);
    for (std::vector<int16_t> volume; source.next(volume, error) == VolumeSource::Next::Volume;)
        run.volumes.push_back(volume);
    double matrix[3][4];
    voxelToWorld(info.geometry, matrix);
    for (int threads = 1; threads <= 2; ++threads) {
        RigidRegistrationSettings settings;
        settings.threads = threads;
        run.estimators[threads - 1] =
            std::make_unique<RigidRegistration>(run.volumes[0].data(), info.dims, matrix, settings);
    }
}

struct Case : PhantomRun {
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
    makePhantomRun(options, *slot);
    slot->estimates.push_back(RigidTransform{});
    for (std::size_t t = 1; t < slot->volumes.size(); ++t)
        slot->estimates.push_back(
            slot->estimators[0]->estimate(slot->volumes[t].data(), slot->estimates.back()).transform);
    return *slot;
}

// Volume 17 of 24: past the phantom's first jerk, in its settled phase.
constexpr std::size_t measured = 17;

enum class Kind { NextVolume, Dropout, Jerk, LostFit, NoHead };

// Uniform noise over the phantom's intensities: nothing to register.
std::vector<int16_t> noise(std::size_t count) {
    std::mt19937 random(3);
    std::uniform_int_distribution<int> intensity(0, 1200);
    std::vector<int16_t> volume(count);
    for (int16_t& v : volume) v = static_cast<int16_t>(intensity(random));
    return volume;
}

// The measured volume with a middle slice at 30 % of its signal.
std::vector<int16_t> withDropout(const Case& c, int size) {
    std::vector<int16_t> volume = c.volumes[measured];
    const std::size_t plane = size == 0 ? 64 * 64 : 104 * 104;
    const std::size_t slice = volume.size() / plane / 2;
    for (std::size_t v = slice * plane; v < (slice + 1) * plane; ++v)
        volume[v] = static_cast<int16_t>(volume[v] * 3 / 10);
    return volume;
}

void estimateVolume(benchmark::State& state, Kind kind) {
    const int size = static_cast<int>(state.range(0));
    Case& c = caseOf(size, kind == Kind::Jerk ? 4 : 1);
    RigidRegistration& estimator = *c.estimators[state.range(1) > 1 ? 1 : 0];
    const std::vector<int16_t> volume = kind == Kind::Dropout  ? withDropout(c, size)
                                        : kind == Kind::NoHead ? noise(c.volumes[measured].size())
                                                               : c.volumes[measured];
    RigidTransform start = c.estimates[measured - 1];
    if (kind == Kind::Jerk) start = RigidTransform{};
    if (kind == Kind::LostFit) rigidMatrix({0.0, 0.0, 0.0, 0.0, 0.0, 1.6}, start.m);
    RigidRegistration::Result result;
    for (auto _ : state) {
        result = estimator.estimate(volume.data(), start);
        benchmark::DoNotOptimize(result);
    }
    const MotionEstimate moved = hostUnitsFromRigid(result.parameters);
    state.counters["steps"] = result.iterations;
    state.counters["coarse_points"] = static_cast<double>(estimator.samplePoints()[0]);
    state.counters["fine_points"] = static_cast<double>(estimator.samplePoints()[1]);
    state.counters["moved_mm_deg"] = std::abs(moved[0]) + std::abs(moved[1]) + std::abs(moved[2]) + std::abs(moved[3]) +
                                     std::abs(moved[4]) + std::abs(moved[5]);
    state.counters["converged"] = result.status == RigidRegistration::Status::Converged ? 1 : 0;
    state.counters["least_slice_weight"] = result.leastKeptSliceWeight;
    state.counters["start"] = static_cast<double>(result.start);
    state.SetLabel(state.range(0) == 0 ? "64x64x34" : "104x104x72");
}

// The grids of caseOf (0, 1) and the live path's (2: 104 × 104 × 72 at 3 mm).
PhantomRun& syntheticRun(int size) {
    static std::unique_ptr<PhantomRun> runs[3];
    std::unique_ptr<PhantomRun>& run = runs[size];
    if (run) return *run;
    run = std::make_unique<PhantomRun>();
    SyntheticOptions options;
    options.dimX = size == 0 ? 64 : 104;
    options.dimY = options.dimX;
    options.dimZ = size == 0 ? 34 : 72;
    options.voxelSizeMm = size == 1 ? 2.0 : 3.0;
    options.volumes = 40;
    makePhantomRun(options, *run);
    return *run;
}

void BM_MotionEstimateSyntheticRun(benchmark::State& state) {
    PhantomRun& run = syntheticRun(static_cast<int>(state.range(0)));
    RigidRegistration& estimator = *run.estimators[state.range(1) > 1 ? 1 : 0];
    int steps = 0, mostSteps = 0, retried = 0;
    for (auto _ : state) {
        steps = mostSteps = retried = 0;
        RigidTransform lastGood;
        for (std::size_t t = 1; t < run.volumes.size(); ++t) {
            const RigidRegistration::Result fit = estimator.estimate(run.volumes[t].data(), lastGood);
            if (fit.status == RigidRegistration::Status::Converged) lastGood = fit.transform;
            steps += fit.iterations;
            mostSteps = std::max(mostSteps, fit.iterations);
            retried +=
                fit.status != RigidRegistration::Status::Converged || fit.start != RigidRegistration::Start::Given;
        }
    }
    const auto volumes = static_cast<double>(run.volumes.size() - 1);
    state.counters["per_volume"] =
        benchmark::Counter(volumes, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["steps"] = steps / volumes;
    state.counters["most_steps"] = mostSteps;
    state.counters["retried"] = retried;
    state.counters["coarse_points"] = static_cast<double>(estimator.samplePoints()[0]);
    state.counters["fine_points"] = static_cast<double>(estimator.samplePoints()[1]);
    state.SetLabel(state.range(0) == 0   ? "64x64x34, 3 mm"
                   : state.range(0) == 1 ? "104x104x72, 2 mm"
                                         : "104x104x72, 3 mm");
}

void BM_MotionEstimateNextVolume(benchmark::State& state) { estimateVolume(state, Kind::NextVolume); }
void BM_MotionEstimateSliceDropout(benchmark::State& state) { estimateVolume(state, Kind::Dropout); }
void BM_MotionEstimateJerkFromRest(benchmark::State& state) { estimateVolume(state, Kind::Jerk); }
void BM_MotionEstimateLostFit(benchmark::State& state) { estimateVolume(state, Kind::LostFit); }
void BM_MotionEstimateNoHead(benchmark::State& state) { estimateVolume(state, Kind::NoHead); }

// Arguments: the size (0: 64x64x34, 1: 104x104x72) and the estimator's
// threads. With 2, the CPU time is the calling thread's alone: the real time
// tells, on a machine whose other core is free.
void sizesAndThreads(benchmark::internal::Benchmark* b) {
    b->ArgNames({"size", "threads"})->Unit(benchmark::kMillisecond);
    for (int threads = 1; threads <= 2; ++threads)
        for (int size = 0; size <= 1; ++size) b->Args({size, threads});
}

BENCHMARK(BM_MotionEstimateNextVolume)->Apply(sizesAndThreads);
BENCHMARK(BM_MotionEstimateSliceDropout)->Apply(sizesAndThreads);
BENCHMARK(BM_MotionEstimateJerkFromRest)->Apply(sizesAndThreads);
BENCHMARK(BM_MotionEstimateLostFit)->Apply(sizesAndThreads);
BENCHMARK(BM_MotionEstimateNoHead)->Apply(sizesAndThreads);
BENCHMARK(BM_MotionEstimateSyntheticRun)
    ->ArgNames({"size", "threads"})
    ->ArgsProduct({{0, 1, 2}, {1, 2}})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
