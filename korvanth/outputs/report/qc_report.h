// The QC report of a replayed run: one HTML page with its pictures.
#pragma once

#include "korvanth/run/motion_estimate.h"
#include "korvanth/run/run_observer.h"
#include "korvanth/run/series.h"
#include "korvanth/run/volume_metrics.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace korvanth {

struct ReportInput {
    std::string title;  // e.g. the input file or "built-in synthetic run"
    std::string pluginName;
    int32_t dims[3] = {0, 0, 0};  // x fastest
    double voxelSizeMm[3] = {1.0, 1.0, 1.0};
    double repetitionTimeSeconds = 0.0;
    int32_t volumeCount = 0;
    std::vector<float> firstVolume;                   // intensities of volume 0 (defines the plug-in's mask: > 100)
    std::vector<float> maps;                          // 8 maps of dims product each, in map order
    std::vector<std::string> mapNames;                // 8 names
    std::vector<MotionEstimate> motion;               // per volume: mm and degrees; empty when none was given
    std::string motionSource;                         // where `motion` came from, e.g. "estimated by Korvanth"
    std::vector<uint8_t> motionUnreliable;            // per volume: 1 where `motion` is a fallback or a doubtful fit
    std::vector<std::string> motionWarnings;          // per volume: why `motion` is flagged; empty where it is not
    std::vector<double> framewiseDisplacementMm;      // per volume, as the run measured it; empty: from `motion`
    FdThresholds fdThresholds = defaultFdThresholds;  // the FD plot's lines and the counts above them
    std::vector<MotionEstimate> comparedMotion;       // a second trace shown beside `motion`; empty: none
    std::string comparedSource;                       // names the compared trace, e.g. its file
    std::vector<EchoSummary> echoes;                  // the later echoes of a multi-echo run; empty: none
    std::vector<double> stepSeconds;                  // latency of each volume's plug-in steps
    std::string partial;                              // empty for a complete run, else why it ended early
    int32_t expectedVolumes = 0;                      // of a partial run; 0 when not known
    int64_t changedValues = 0;                        // RunFinished::changedValues
    // A live run: per volume, seconds from its file's last write until the
    // outputs had its maps, and the parts of that time; empty otherwise.
    // The volumes read ahead before the run began are left out of these (their
    // wait was the look-ahead's); liveTimings has every volume.
    struct Latency {
        std::vector<double> total, detection, reading, motion, step, outputs;
    } latency;
    std::vector<VolumeTiming> liveTimings;  // a live run's, every volume; empty otherwise
    std::vector<double> dvars, globalMean;  // per volume, as the run measured them; empty: not measured
};

// Writes report.html and its PNG pictures into `folder`. Returns false and
// sets `error` when a file cannot be written.
bool writeQcReport(const std::string& folder, const ReportInput& input, std::string& error);

}  // namespace korvanth
