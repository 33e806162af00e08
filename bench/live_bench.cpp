// The live path measured end to end: a writer thread plays the scanner
// (one volume file every TR, each written in 8 chunks over 40 ms, as
// korvanth-scanner writes them) and the run takes them through the folder
// watcher, the reader, the motion source main.cpp picks for live runs, the
// real plug-in's step and the result writer. Per volume: from the file's last
// write to its maps handed to the outputs (the result writer and the live
// view, serving with no client).
//
// This program is itself a host named Korvanth (the plug-in finds its host
// functions by that name); it loads the plug-in built beside the benchmarks.
// Goals: median at most 5 % of the TR, 99th percentile at most 10 %, and at
// most 15 % while a busy process of the benchmark's own spins on the other
// core (the cases with busy 1; --benchmark_filter=busy:1 runs them alone).
#include "korvanth/app/scanner.h"
#include "korvanth/host/host_state.h"
#include "korvanth/host/loaded_plugin.h"
#if KORVANTH_HAS_LIVE_VIEW
#include "korvanth/outputs/live/live_view.h"
#endif
#include "korvanth/outputs/nifti_writer.h"
#include "korvanth/outputs/output_folder.h"
#include "korvanth/outputs/result_writer.h"
#include "korvanth/outputs/run_outputs.h"
#include "korvanth/platform/platform.h"
#include "korvanth/run/clock.h"
#include "korvanth/run/run_loop.h"
#include "korvanth/run/statistics.h"
#include "korvanth/sources/motion/estimated_motion_source.h"
#include "korvanth/sources/motion/motion_file_source.h"
#include "korvanth/sources/synthetic_run.h"
#include "korvanth/sources/watch/watch_folder.h"

#include <benchmark/benchmark.h>
#include <gdcmAttribute.h>
#include <gdcmImage.h>
#include <gdcmImageWriter.h>
#include <gdcmTrace.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>
#if !defined(_WIN32)
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#endif

namespace fs = std::filesystem;
using namespace korvanth;

namespace {

struct LiveCase {
    int32_t x, y, z;
    double tr;
    int32_t volumes;
};
// The tail cases (3, 4) run 100 volumes, so that the 99th percentile is not
// simply the slowest.
constexpr LiveCase liveCases[] = {{64, 64, 34, 2.0, 30},
                                  {104, 104, 72, 0.8, 40},
                                  {64, 64, 32, 2.0, 30},
                                  {104, 104, 72, 0.8, 100},
                                  {110, 110, 78, 0.5, 100}};
constexpr double goalMedianOfTr = 0.05, goalP99OfTr = 0.10, goalP99BusyOfTr = 0.15;
enum Format { Nifti = 0, DicomVolumes = 1, DicomSlices = 2 };

std::vector<char> fileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The study of every file written here: a series is told by its study and
// series UIDs, and the writer would make up a new study for each file.
const char* const benchStudyUid = "1.2.826.0.1.3680043.2.1125.1.40";

// One volume as a multi-frame DICOM MR image (a frame per slice), the way an
// enhanced export writes one file per volume.
std::vector<char> dicomVolume(const SeriesInfo& series, const std::vector<int16_t>& voxels, int32_t instance,
                              const fs::path& scratch) {
    gdcm::ImageWriter writer;
    gdcm::Image& image = writer.GetImage();
    image.SetNumberOfDimensions(3);
    for (unsigned axis = 0; axis < 3; ++axis) {
        image.SetDimension(axis, static_cast<unsigned>(series.dims[axis]));
        image.SetSpacing(axis, series.voxelSizeMm[axis]);
        image.SetOrigin(axis, -0.5 * series.dims[axis] * series.voxelSizeMm[axis]);
    }
    const double cosines[6] = {1, 0, 0, 0, 1, 0};
    image.SetDirectionCosines(cosines);
    image.SetPixelFormat(gdcm::PixelFormat::INT16);
    image.SetPhotometricInterpretation(gdcm::PhotometricInterpretation::MONOCHROME2);
    gdcm::DataElement pixels(gdcm::Tag(0x7fe0, 0x0010));
    pixels.SetByteValue(reinterpret_cast<const char*>(voxels.data()),
                        static_cast<uint32_t>(voxels.size() * sizeof(int16_t)));
    image.SetDataElement(pixels);
    gdcm::DataSet& ds = writer.GetFile().GetDataSet();
    gdcm::Attribute<0x0008, 0x0016> sopClass{"1.2.840.10008.5.1.4.1.1.4"};  // MR image storage
    gdcm::Attribute<0x0020, 0x000e> seriesUid{"1.2.826.0.1.3680043.2.1125.1.42"};
    gdcm::Attribute<0x0020, 0x000d> studyUid{benchStudyUid};
    gdcm::Attribute<0x0020, 0x0013> number{instance};
    gdcm::Attribute<0x0018, 0x0080> tr{series.repetitionTimeSeconds * 1000.0};
    ds.Replace(sopClass.GetAsDataElement());
    ds.Replace(seriesUid.GetAsDataElement());
    ds.Replace(studyUid.GetAsDataElement());
    ds.Replace(number.GetAsDataElement());
    ds.Replace(tr.GetAsDataElement());
    writer.SetFileName(scratch.string().c_str());
    if (!writer.Write()) return {};
    return fileBytes(scratch);
}

// Slice `k` of volume `t` as a classic single-frame DICOM MR image, the way
// GE, Philips and Siemens XA's interoperability export write fMRI: instance
// numbers running on through the series, the slice count recorded.
std::vector<char> dicomSlice(const SeriesInfo& series, const std::vector<int16_t>& voxels, int32_t t, int32_t k,
                             const fs::path& scratch) {
    gdcm::ImageWriter writer;
    gdcm::Image& image = writer.GetImage();
    image.SetNumberOfDimensions(2);
    for (unsigned axis = 0; axis < 2; ++axis) {
        image.SetDimension(axis, static_cast<unsigned>(series.dims[axis]));
        image.SetSpacing(axis, series.voxelSizeMm[axis]);
    }
    image.SetOrigin(0, -0.5 * series.dims[0] * series.voxelSizeMm[0]);
    image.SetOrigin(1, -0.5 * series.dims[1] * series.voxelSizeMm[1]);
    image.SetOrigin(2, (k - 0.5 * series.dims[2]) * series.voxelSizeMm[2]);
    const double cosines[6] = {1, 0, 0, 0, 1, 0};
    image.SetDirectionCosines(cosines);
    image.SetPixelFormat(gdcm::PixelFormat::INT16);
    image.SetPhotometricInterpretation(gdcm::PhotometricInterpretation::MONOCHROME2);
    const std::size_t sliceVoxels = static_cast<std::size_t>(series.dims[0]) * static_cast<std::size_t>(series.dims[1]);
    gdcm::DataElement pixels(gdcm::Tag(0x7fe0, 0x0010));
    pixels.SetByteValue(reinterpret_cast<const char*>(voxels.data() + static_cast<std::size_t>(k) * sliceVoxels),
                        static_cast<uint32_t>(sliceVoxels * sizeof(int16_t)));
    image.SetDataElement(pixels);
    gdcm::DataSet& ds = writer.GetFile().GetDataSet();
    gdcm::Attribute<0x0008, 0x0016> sopClass{"1.2.840.10008.5.1.4.1.1.4"};  // MR image storage
    gdcm::Attribute<0x0020, 0x000e> seriesUid{"1.2.826.0.1.3680043.2.1125.1.43"};
    gdcm::Attribute<0x0020, 0x000d> studyUid{benchStudyUid};
    gdcm::Attribute<0x0020, 0x0013> number{t * series.dims[2] + k + 1};
    gdcm::Attribute<0x0020, 0x1002> slices{series.dims[2]};
    gdcm::Attribute<0x0018, 0x0080> tr{series.repetitionTimeSeconds * 1000.0};
    for (const gdcm::DataElement& e :
         {sopClass.GetAsDataElement(), seriesUid.GetAsDataElement(), studyUid.GetAsDataElement(),
          number.GetAsDataElement(), slices.GetAsDataElement(), tr.GetAsDataElement()})
        ds.Replace(e);
    writer.SetFileName(scratch.string().c_str());
    if (!writer.Write()) return {};
    return fileBytes(scratch);
}

// A process that spins on the machine's last core from construction to
// destruction, standing in for another program's work during a run (on a
// machine of one core, or without fork, nothing).
class BusyCore {
public:
    explicit BusyCore(bool wanted) {
#if !defined(_WIN32)
        const long cores = sysconf(_SC_NPROCESSORS_ONLN);
        if (!wanted || cores < 2) return;
        child_ = fork();
        if (child_ != 0) return;
        cpu_set_t last;
        CPU_ZERO(&last);
        CPU_SET(static_cast<int>(cores - 1), &last);
        sched_setaffinity(0, sizeof last, &last);
        for (volatile unsigned long spin = 0;; spin = spin + 1) {}
#else
        (void)wanted;
#endif
    }
    ~BusyCore() {
#if !defined(_WIN32)
        if (child_ <= 0) return;
        kill(child_, SIGKILL);
        waitpid(child_, nullptr, 0);
#endif
    }
    BusyCore(const BusyCore&) = delete;
    BusyCore& operator=(const BusyCore&) = delete;
    bool running() const { return child_ > 0; }

private:
#if !defined(_WIN32)
    pid_t child_ = -1;
#else
    int child_ = -1;
#endif
};

// Collects every volume's timing at the end of the run.
struct TimingCollector final : RunObserver {
    std::vector<VolumeTiming> timings;
    void runFinished(const RunFinished& run) override { timings = run.timings; }
};

void BM_LivePath(benchmark::State& state) {
    const LiveCase& c = liveCases[state.range(0)];
    const auto format = static_cast<Format>(state.range(1));
    const bool busy = state.range(2) != 0;
    const bool dicom = format != Nifti;
    std::random_device random;
    const fs::path work = fs::temp_directory_path() / ("korvanth-live-bench-" + std::to_string(random() % 100000000u));
    fs::create_directories(work / "in");

    // The run's files, made before the clock starts.
    SyntheticOptions synthetic;
    synthetic.dimX = c.x;
    synthetic.dimY = c.y;
    synthetic.dimZ = c.z;
    synthetic.volumes = c.volumes;
    synthetic.repetitionTimeSeconds = c.tr;
    SyntheticSource phantom(synthetic);
    SeriesInfo series;
    std::string error;
    phantom.open(series, error);
    std::vector<VolumeFileBytes> files;
    std::vector<std::vector<int16_t>> volumes;
    for (std::vector<int16_t> volume; phantom.next(volume, error) == VolumeSource::Next::Volume;)
        volumes.push_back(volume);
    if (format == DicomSlices) {
        for (std::size_t t = 0; t < volumes.size(); ++t)
            for (int32_t k = 0; k < c.z; ++k) {
                files.push_back({"MR." + std::to_string(t * 1000 + static_cast<std::size_t>(k)),
                                 dicomSlice(series, volumes[t], static_cast<int32_t>(t), k, work / "scratch.dcm")});
                files.back().volume = static_cast<int32_t>(t);
                if (files.back().bytes.empty()) state.SkipWithError("cannot write a DICOM slice");
            }
    } else if (dicom) {
        for (std::size_t t = 0; t < volumes.size(); ++t) {
            const auto number = static_cast<int32_t>(t + 1);
            files.push_back({"vol" + std::to_string(number) + ".dcm",
                             dicomVolume(series, volumes[t], number, work / "scratch.dcm")});
            if (files.back().bytes.empty()) state.SkipWithError("cannot write a DICOM volume");
        }
    } else {
        std::vector<const int16_t*> pointers;
        for (const auto& v : volumes) pointers.push_back(v.data());
        const fs::path bold = work / "bold.nii";
        if (!writeNiftiSeries(bold.string(), series.dims, pointers.data(), static_cast<int32_t>(pointers.size()),
                              series.repetitionTimeSeconds, series.geometry, "live bench", error) ||
            !scannerFiles(bold.string(), 1, files, error))
            state.SkipWithError(error.c_str());
    }

    HostState& host = korvanth::host();
    std::unique_ptr<LoadedPlugin> plugin = LoadedPlugin::open(TARVEX_PLUGIN_PATH, error);
    if (!plugin || !plugin->plugin().initPlugin()) {
        state.SkipWithError(("the plug-in: " + error).c_str());
        return;
    }
    std::vector<double> latency, detection, reading, motion, step, outputs;
    for (auto _ : state) {
        fs::remove_all(work / "in");
        fs::create_directories(work / "in");
        WatchSettings watch;
        watch.folder = (work / "in").string();
        watch.volumeLimit = c.volumes;
        watch.idleTimeoutSeconds = 30.0;
        WatchFolderSource source(watch);
        // The scanner: the first file once the watcher looks, then one every TR.
        std::thread scanner([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            const auto start = std::chrono::steady_clock::now();
            std::string writeError;
            for (std::size_t i = 0; i < files.size(); ++i) {
                const int32_t t = format == DicomSlices ? files[i].volume : static_cast<int32_t>(i);
                std::this_thread::sleep_until(start + steadyDuration(c.tr * static_cast<double>(t)));
                // A slice file is small: written at once, the slices one after another.
                writeInChunks((work / "in" / files[i].name).string(), files[i].bytes, format == DicomSlices ? 1 : 8,
                              format == DicomSlices ? 0.0 : 0.04, writeError);
            }
        });
        SeriesInfo live;
        if (!source.open(live, error)) {
            scanner.join();
            state.SkipWithError(error.c_str());
            return;
        }
        EstimatedMotionSource estimated;  // a live run's motion: Korvanth's own estimates
        estimated.begin(live, error);
        OutputFolder staging;
        staging.begin((work / "out").string(), error);
        RunSettings settings;
        settings.targetFolder = staging.stagingFolder();
        settings.projectName = "live";
        ResultSettings results;
        results.folder = staging.stagingFolder();
        results.writeSeries = true;
        ResultWriter writer(results);
        TimingCollector collector;
        ObserverList observers;
        observers.add(writer);
#if KORVANTH_HAS_LIVE_VIEW
        // The live view on, as a live run at the scanner has it (no client).
        LiveViewSettings viewSettings;
        viewSettings.port = 0;
        LiveView view(viewSettings);
        if (!view.start(error)) {
            scanner.join();
            state.SkipWithError(("the live view: " + error).c_str());
            return;
        }
        observers.add(view);
#endif
        observers.add(collector);
        {
            const BusyCore other(busy);
            if (busy && !other.running()) state.SkipWithError("no second core to keep busy");
            driveRun(plugin->plugin(), live, source, estimated, observers, settings);
        }
        scanner.join();
        // KORVANTH_LIVE_BENCH_OUT=dir keeps each run's results (timing.csv, report) in dir/<case>.
        if (const char* keep = std::getenv("KORVANTH_LIVE_BENCH_OUT")) {
            const fs::path kept =
                fs::path(keep) / (std::to_string(c.x) + "x" + std::to_string(c.y) + "x" + std::to_string(c.z) +
                                  (format == DicomSlices ? "-slices"
                                   : dicom               ? "-dicom"
                                                         : "-nifti") +
                                  (busy ? "-busy" : ""));
            OutputFolder keeper;
            if (keeper.begin(kept.string(), error)) {
                for (const auto& entry : fs::directory_iterator(staging.stagingFolder()))
                    fs::copy_file(entry.path(), fs::path(keeper.stagingFolder()) / entry.path().filename(),
                                  fs::copy_options::overwrite_existing);
                std::vector<std::string> written;
                keeper.commit(written, error);
            }
        }
        for (const VolumeTiming& t : collector.timings) {
            if (!t.fromFile) continue;
            latency.push_back(t.latencySeconds);
            detection.push_back(t.detectionSeconds);
            reading.push_back(t.readingSeconds);
            motion.push_back(t.motionSeconds);
            step.push_back(t.stepSeconds);
            outputs.push_back(t.outputsSeconds);
        }
        state.SetIterationTime(median(latency));
    }
    (void)host;
    if (latency.empty()) {
        state.SkipWithError("no volume came through");
        return;
    }
    const double trMs = c.tr * 1000.0;
    const double medianMs = median(latency) * 1000.0, p95Ms = nearestRankPercentile(latency, 0.95) * 1000.0;
    const double p99Ms = nearestRankPercentile(latency, 0.99) * 1000.0;
    state.counters["median_ms"] = medianMs;
    state.counters["p95_ms"] = p95Ms;
    state.counters["p99_ms"] = p99Ms;
    state.counters["median_pct_tr"] = 100.0 * medianMs / trMs;
    state.counters["p95_pct_tr"] = 100.0 * p95Ms / trMs;
    state.counters["p99_pct_tr"] = 100.0 * p99Ms / trMs;
    state.counters["motion_p99_ms"] = nearestRankPercentile(motion, 0.99) * 1000.0;
    state.counters["detect_ms"] = median(detection) * 1000.0;
    state.counters["read_ms"] = median(reading) * 1000.0;
    state.counters["motion_ms"] = median(motion) * 1000.0;
    state.counters["step_ms"] = median(step) * 1000.0;
    state.counters["outputs_ms"] = median(outputs) * 1000.0;
    const bool met =
        busy ? p99Ms <= goalP99BusyOfTr * trMs : medianMs <= goalMedianOfTr * trMs && p99Ms <= goalP99OfTr * trMs;
    state.SetLabel(
        std::string(format == DicomSlices ? "DICOM slice files"
                    : dicom               ? "DICOM"
                                          : "NIfTI") +
        " TR " + std::to_string(c.tr).substr(0, 3) + " s, " + std::to_string(latency.size()) + " volumes" +
        (busy ? ", other core busy: goal (p99 <= 15% of TR) " : ": goals (median <= 5%, p99 <= 10% of TR) ") +
        (met ? "met" : "NOT met"));
    fs::remove_all(work);
}

// Arguments: the size (0: 64x64x34 at TR 2 s, 1: 104x104x72 at TR 0.8 s,
// 2: 64x64x32 at TR 2 s; the tail's 100 volumes: 3: 104x104x72 at TR 0.8 s,
// 4: 110x110x78 at TR 0.5 s), the file format (1: DICOM, a file per volume;
// 2: DICOM, a file per slice, latency from the last slice's write; 0: NIfTI)
// and whether the other core is kept busy. One iteration is one whole run.
BENCHMARK(BM_LivePath)
    ->ArgNames({"size", "dicom", "busy"})
    ->Args({2, 2, 0})
    ->Args({0, 1, 0})
    ->Args({1, 1, 0})
    ->Args({0, 0, 0})
    ->Args({1, 0, 0})
    ->Args({3, 0, 0})
    ->Args({3, 0, 1})
    ->Args({4, 0, 0})
    ->Args({4, 0, 1})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    gdcm::Trace::WarningOff();
    HostState& state = host();
    parseHostVersion("3.1.0", state.version);
    state.programPath = executableFolder();
    state.pluginsPath = fs::path(TARVEX_PLUGIN_PATH).parent_path().string();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
