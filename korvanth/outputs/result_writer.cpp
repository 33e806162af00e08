#include "korvanth/outputs/result_writer.h"

#include "korvanth/host/host_state.h"
#include "korvanth/outputs/run_outputs.h"
#if KORVANTH_HAS_NIFTI
#include "korvanth/outputs/nifti_writer.h"
#endif
#if KORVANTH_HAS_REPORT
#include "korvanth/outputs/report/qc_report.h"
#endif

#include <algorithm>
#include <fstream>

namespace korvanth {

namespace {
// The plug-in maps as raw little-endian float32, map after map.
bool writeRawMaps(const std::string& path, const std::vector<float>& maps) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(maps.data()), static_cast<std::streamsize>(maps.size() * sizeof(float)));
    out.close();
    return static_cast<bool>(out);
}

// The host log, one raw line per entry.
bool writeHostLog(const std::string& path, const std::vector<std::string>& log) {
    std::ofstream out(path, std::ios::binary);
    for (const std::string& line : log) out << line << '\n';
    out.close();
    return static_cast<bool>(out);
}
}  // namespace

void ResultWriter::runStarted(const SeriesInfo& series) {
    series_ = series;
    firstVolume_.clear();
    motion_.clear();
    stepSeconds_.clear();
    motionUnreliable_.clear();
    framewiseDisplacement_.clear();
    motionWarnings_.clear();
    dvars_.clear();
    globalMean_.clear();
    error_.clear();
}

void ResultWriter::volumeDone(const VolumeDone& volume) {
    if (volume.index == 0 && volume.volume != nullptr)
        firstVolume_.assign(volume.volume, volume.volume + series_.voxelCount());
    motion_.push_back(volume.motion);
    stepSeconds_.push_back(volume.timing.stepSeconds);
    motionUnreliable_.push_back(volume.motionReliable ? 0 : 1);
    framewiseDisplacement_.push_back(volume.metrics.framewiseDisplacementMm);
    motionWarnings_.push_back(volume.motionWarning);
    dvars_.push_back(volume.metrics.dvars);
    globalMean_.push_back(volume.metrics.globalMean);
}

void ResultWriter::runFinished(const RunFinished& run) {
    timings_ = run.timings;
    if (!writeAll(run) && error_.empty()) error_ = settings_.folder + ": cannot write the results";
}

// The later echoes as the run's series is written (grid, geometry, TR and
// scaling), and summed up for maps.json and the report.
bool ResultWriter::writeLaterEchoes(const RunFinished& run, std::vector<EchoSummary>& summaries) {
    if (!settings_.writeSeries || !settings_.laterEchoes) return true;
    for (const EchoSeries& echo : settings_.laterEchoes(run.volumeCount)) {
        summaries.push_back(summarizeEcho(echo, firstVolume_));
#if KORVANTH_HAS_NIFTI
        std::vector<const int16_t*> volumes;
        for (const std::vector<int16_t>& v : echo.volumes) volumes.push_back(v.data());
        if (!writeNiftiSeries(settings_.folder + summaries.back().file, series_.dims, volumes.data(),
                              static_cast<int32_t>(volumes.size()), series_.repetitionTimeSeconds, series_.geometry,
                              settings_.seriesDescription, error_, series_.valueSlope, series_.valueIntercept))
            return false;
#endif
    }
    return true;
}

bool ResultWriter::writeAll(const RunFinished& run) {
    const HostState& state = *run.host;
    const std::string& folder = settings_.folder;
    if (!writeRawMaps(folder + "maps.f32", state.pluginMaps)) {
        error_ = folder + "maps.f32: cannot write the maps";
        return false;
    }
    if (!writeHostLog(folder + "host.log", state.log)) {
        error_ = folder + "host.log: cannot write the host log";
        return false;
    }
    if (!writeTimingCsv(folder + "timing.csv", run.timings, motionUnreliable_, series_.repetitionTimeSeconds, error_))
        return false;
    if (!settings_.spmMotionFile.empty() && !writeSpmMotionFile(folder + settings_.spmMotionFile, motion_, error_))
        return false;
    echoes_.clear();
    if (!writeLaterEchoes(run, echoes_)) return false;
    MapsDescription description;
    description.echoes = echoes_;
    description.mapNames = state.mapNames;
    std::copy(series_.dims, series_.dims + 3, description.dims);
    description.volumeCount = run.volumeCount;
    description.source = series_.title;
    description.pluginName = settings_.pluginName;
    description.complete = !run.partial;
    description.endReason = run.endReason;
    description.changedValues = run.changedValues;
    description.timings = run.timings;
    description.repetitionTimeSeconds = series_.repetitionTimeSeconds;
    if (!writeMapsJson(folder + "maps.json", description, error_)) return false;
#if KORVANTH_HAS_NIFTI
    if (!writeNiftiMaps(folder + "maps.nii.gz", series_.dims, series_.geometry, state.pluginMaps, state.mapCount(),
                        error_))
        return false;
    if (settings_.writeSeries &&
        !writeNiftiSeries(folder + "bold.nii.gz", series_.dims, state.timeCourse.data(), run.volumeCount,
                          series_.repetitionTimeSeconds, series_.geometry, settings_.seriesDescription, error_,
                          series_.valueSlope, series_.valueIntercept))
        return false;
#endif
    if (settings_.writeSeries && !writePlainMotionFile(folder + "bold_motion.txt", motion_, error_)) return false;
#if KORVANTH_HAS_REPORT
    ReportInput report;
    report.title = series_.title;
    report.pluginName = settings_.pluginName;
    std::copy(series_.dims, series_.dims + 3, report.dims);
    std::copy(series_.voxelSizeMm, series_.voxelSizeMm + 3, report.voxelSizeMm);
    report.repetitionTimeSeconds = series_.repetitionTimeSeconds;
    report.volumeCount = run.volumeCount;
    report.firstVolume = firstVolume_;
    report.maps = state.pluginMaps;
    report.mapNames = state.mapNames;
    if (settings_.motionGiven) {
        report.motion = motion_;
        report.motionSource = settings_.motionSource;
        report.motionUnreliable = motionUnreliable_;
        report.framewiseDisplacementMm = framewiseDisplacement_;
        report.motionWarnings = motionWarnings_;
        report.comparedMotion = settings_.comparedMotion;
        report.comparedSource = settings_.comparedSource;
    }
    report.echoes = echoes_;
    report.stepSeconds = stepSeconds_;
    report.changedValues = run.changedValues;
    report.fdThresholds = settings_.fdThresholds;
    if (run.partial) {
        report.partial = run.endReason.empty() ? "ended early" : run.endReason;
        report.expectedVolumes = series_.expectedVolumes;
    }
    report.dvars = dvars_;
    report.globalMean = globalMean_;
    if (std::any_of(run.timings.begin(), run.timings.end(), [](const VolumeTiming& t) { return t.fromFile; }))
        report.liveTimings = run.timings;
    for (const VolumeTiming& t : run.timings) {
        if (!t.fromFile || t.readAhead) continue;
        report.latency.total.push_back(t.latencySeconds);
        report.latency.detection.push_back(t.detectionSeconds);
        report.latency.reading.push_back(t.readingSeconds);
        report.latency.motion.push_back(t.motionSeconds);
        report.latency.step.push_back(t.stepSeconds);
        report.latency.outputs.push_back(t.outputsSeconds);
    }
    if (!writeQcReport(folder, report, error_)) return false;
#endif
    return true;
}

}  // namespace korvanth
