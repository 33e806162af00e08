// The small files a run leaves in its out folder: step timings, map names,
// the motion trace of a made-up run.
#pragma once

#include "korvanth/run/motion_estimate.h"
#include "korvanth/run/run_observer.h"
#include "korvanth/run/series.h"

#include <cstdint>
#include <string>
#include <vector>

namespace korvanth {

// timing.csv: one row per volume with the latency of its plug-in steps, the
// time of its motion estimate and whether that estimate is unreliable (a
// fallback) and, for a volume from a live source's file, the time from the
// file's last write until the maps were handed to the outputs and its parts
// (detection, reading, outputs); those fields are empty for other volumes.
bool writeTimingCsv(const std::string& path, const std::vector<VolumeTiming>& timings,
                    const std::vector<uint8_t>& motionUnreliable, double repetitionTimeSeconds, std::string& error);

// `echo` summed up: per voxel of the mask (`firstVolume` above the plug-in's
// threshold, the first echo's first volume) the mean over time divided by
// the sample standard deviation, then the median of the finite ones.
EchoSummary summarizeEcho(const EchoSeries& echo, const std::vector<float>& firstVolume);

struct MapsDescription {
    std::vector<std::string> mapNames;
    int32_t dims[3] = {0, 0, 0};
    int32_t volumeCount = 0;
    std::string source;  // the input file or "built-in synthetic run"
    std::string pluginName;
    bool complete = true;             // false: the run ended before its last volume
    std::string endReason;            // why, for a run that is not complete
    int64_t changedValues = 0;        // RunFinished::changedValues
    std::vector<EchoSummary> echoes;  // the later echoes of a multi-echo run; none: not listed
    // A live run's: its latency and arrival timeline (timings' "latency"
    // and "arrival_timeline" keys); empty: not a live run.
    std::vector<VolumeTiming> timings;
    double repetitionTimeSeconds = 0.0;
};

// maps.json: the maps' names in map order (the 4th index of maps.nii.gz and
// the order of maps.f32), with the size of each map.
bool writeMapsJson(const std::string& path, const MapsDescription& description, std::string& error);

// Writes `motion` in the plain motion file format (dx dy dz in mm, rx ry rz in degrees) with enough digits that reading
// it back gives the same numbers.
bool writePlainMotionFile(const std::string& path, const std::vector<MotionEstimate>& motion, std::string& error);

// Writes `motion` in SPM's rp_*.txt layout: x y z (mm), pitch roll yaw
// (radians), one row per volume.
bool writeSpmMotionFile(const std::string& path, const std::vector<MotionEstimate>& motion, std::string& error);

}  // namespace korvanth
