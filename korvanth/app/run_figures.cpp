#include "korvanth/app/run_figures.h"

#include "korvanth/host/host_state.h"
#include "korvanth/outputs/report/map_montage.h"
#include "tarvex/qc_conventions.h"

#include <cmath>
#include <limits>

namespace korvanth {

namespace {
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

double meanOfFinite(const std::vector<double>& values) {
    double sum = 0.0;
    int64_t count = 0;
    for (const double v : values)
        if (std::isfinite(v)) {
            sum += v;
            ++count;
        }
    return count == 0 ? nan : sum / static_cast<double>(count);
}
}  // namespace

const std::vector<FigureKey>& runFigureKeys() {
    // fd_mean: the same measure (Power's FD, 50 mm sphere, mean over the
    // volumes from the second on). DVARS and tSNR are not: the community's
    // DVARS scales the series to a median of 1000 first and its tSNR is over
    // a brain mask; Korvanth's are raw and over the plug-in's intensity mask.
    static const std::vector<FigureKey> keys{
        {"volumes", "", "volumes fed to the plug-in", true},
        {"tr_s", "", "repetition time, seconds", false},
        {"partial", "", "1 when the run ended before its last volume", false},
        {"fd_mean_mm", "fd_mean", "mean framewise displacement (mm) over the volumes from the second on", true},
        {"fd_max_mm", "", "largest framewise displacement (mm)", true},
        {"fd_threshold_low_mm", "", "the lower FD threshold (mm)", false},
        {"fd_threshold_high_mm", "", "the upper FD threshold (mm)", false},
        {"frames_under_low", "", "volumes with FD at or below the lower threshold (the first counts)", true},
        {"frames_under_high", "", "volumes with FD at or below the upper threshold (the first counts)", true},
        {"low_motion_low_s", "", "frames_under_low times the TR, seconds", true},
        {"low_motion_high_s", "", "frames_under_high times the TR, seconds", true},
        {"dvars_mean", "", "mean DVARS: RMS over the mask of the change from the volume before, raw intensities", true},
        {"tsnr_median", "", "median over the mask of the plug-in's tSNR map, in tSNR units", true},
        {"global_drift_percent", "", "least-squares drift of the mean over the mask across the run, % of its mean",
         true},
        {"motion_flagged_volumes", "", "volumes whose motion estimate is flagged unreliable", true},
    };
    return keys;
}

double driftPercent(const std::vector<double>& values) {
    double st = 0.0, sv = 0.0, stt = 0.0, stv = 0.0;
    int64_t n = 0;
    for (std::size_t t = 0; t < values.size(); ++t) {
        if (!std::isfinite(values[t])) continue;
        const double x = static_cast<double>(t);
        st += x;
        sv += values[t];
        stt += x * x;
        stv += x * values[t];
        ++n;
    }
    if (n < 2 || sv == 0.0) return nan;
    const double count = static_cast<double>(n);
    const double slope = (count * stv - st * sv) / (count * stt - st * st);
    const double span = static_cast<double>(values.size() - 1);
    return 100.0 * slope * span / (sv / count);
}

void RunFigures::begin(const FdThresholds& thresholds) { *this = RunFigures(), thresholds_ = thresholds; }

void RunFigures::runStarted(const SeriesInfo& series) {
    tally_ = MotionTally(thresholds_);
    repetitionTime_ = series.repetitionTimeSeconds;
    for (int k = 0; k < 3; ++k) dims_[k] = series.dims[k];
}

void RunFigures::volumeDone(const VolumeDone& volume) {
    tally_.add(volume.metrics.framewiseDisplacementMm);
    dvars_.push_back(volume.metrics.dvars);
    globalMean_.push_back(volume.metrics.globalMean);
    if (!volume.motionReliable) ++motionFlagged_;
    if (volume.index == 0 && volume.volume != nullptr) {
        const std::size_t voxels = static_cast<std::size_t>(dims_[0]) * dims_[1] * dims_[2];
        firstVolume_.assign(volume.volume, volume.volume + voxels);
    }
}

void RunFigures::runFinished(const RunFinished& run) {
    partial_ = run.partial;
    tsnr_ = nan;
    if (run.host == nullptr || run.host->mapCount() <= tsnrMap || firstVolume_.empty()) return;
    const double voxelMm[3] = {1.0, 1.0, 1.0};
    const MontageGrid grid = montageGrid(dims_, voxelMm, firstVolume_);
    const float* tsnr = run.host->pluginMaps.data() + static_cast<std::size_t>(tsnrMap) * grid.voxels;
    tsnr_ = summariseMap(grid, tsnr, tsnrMap, "").medianValue * tarvex::tsnrScale;
}

Json RunFigures::figures() const {
    const auto count = [](int64_t n) { return Json(n); };
    const Json values[] = {count(tally_.volumes()),
                           jsonNumber(repetitionTime_),
                           count(partial_ ? 1 : 0),
                           jsonNumber(tally_.meanFd()),
                           jsonNumber(tally_.largestFd()),
                           jsonNumber(thresholds_[0]),
                           jsonNumber(thresholds_[1]),
                           count(tally_.atOrBelow(0)),
                           count(tally_.atOrBelow(1)),
                           jsonNumber(static_cast<double>(tally_.atOrBelow(0)) * repetitionTime_),
                           jsonNumber(static_cast<double>(tally_.atOrBelow(1)) * repetitionTime_),
                           jsonNumber(meanOfFinite(dvars_)),
                           jsonNumber(tsnr_),
                           jsonNumber(driftPercent(globalMean_)),
                           count(motionFlagged_)};
    const std::vector<FigureKey>& keys = runFigureKeys();
    Json json = Json::object();
    for (std::size_t k = 0; k < keys.size() && k < sizeof values / sizeof values[0]; ++k) {
        json[keys[k].key] = values[k];
        if (*keys[k].communityAlias != '\0') json[keys[k].communityAlias] = values[k];
    }
    return json;
}

}  // namespace korvanth
