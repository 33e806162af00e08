// What a run leaves in its out folder: the maps (raw, NIfTI, with their
// names), the host log, the step timings, the QC report and, for a run the
// host made up itself, the series and its motion trace so that it can be
// replayed. A run observer: it gathers what it needs while the run goes and
// writes everything into the staging folder when the run finishes.
#pragma once

#include "korvanth/outputs/run_outputs.h"
#include "korvanth/run/run_observer.h"
#include "korvanth/run/volume_metrics.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace korvanth {

struct ResultSettings {
    std::string folder;  // the staging folder, with a trailing separator
    std::string pluginName;
    bool writeSeries = false;  // bold.nii.gz and bold_motion.txt: the input, for a made-up or live run
    std::string seriesDescription = "Korvanth synthetic run";  // in bold.nii.gz's header
    bool motionGiven = true;    // false: the motion log carried zeros, the report says there was no motion
    std::string motionSource;   // where the motion came from, for the report
    std::string spmMotionFile;  // rp_<project>.txt: the motion in SPM's layout; empty: not written
    std::vector<MotionEstimate> comparedMotion;  // shown beside the run's motion in the report; empty: none
    std::string comparedSource;
    FdThresholds fdThresholds = defaultFdThresholds;  // for the report
    // The later echoes of a multi-echo run, asked for once the run is over
    // and written beside bold.nii.gz (with writeSeries); unset: none.
    std::function<std::vector<EchoSeries>(int32_t volumeCount)> laterEchoes;
};

class ResultWriter final : public RunObserver {
public:
    explicit ResultWriter(ResultSettings settings) : settings_(std::move(settings)) {}

    void runStarted(const SeriesInfo& series) override;
    void volumeDone(const VolumeDone& volume) override;
    void runFinished(const RunFinished& run) override;

    // After the run: whether every file was written, and if not, why.
    bool succeeded() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    // Each volume's plug-in step time, in seconds.
    const std::vector<double>& stepSeconds() const { return stepSeconds_; }
    // Each volume's whole timing, as the run finished it.
    const std::vector<VolumeTiming>& timings() const { return timings_; }
    // The later echoes written beside the run's series.
    const std::vector<EchoSummary>& echoes() const { return echoes_; }

private:
    bool writeAll(const RunFinished& run);
    bool writeLaterEchoes(const RunFinished& run, std::vector<EchoSummary>& summaries);

    ResultSettings settings_;
    SeriesInfo series_;
    std::vector<float> firstVolume_;
    std::vector<MotionEstimate> motion_;
    std::vector<double> stepSeconds_;
    std::vector<uint8_t> motionUnreliable_;
    std::vector<double> framewiseDisplacement_;
    std::vector<std::string> motionWarnings_;
    std::vector<double> dvars_, globalMean_;  // per volume (VolumeMetrics)
    std::vector<VolumeTiming> timings_;
    std::vector<EchoSummary> echoes_;
    std::string error_;
};

}  // namespace korvanth
