// The QC report of a replayed run: one HTML page with its pictures.
#pragma once

#include "korvanth/run/motion_estimate.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace korvanth {

struct ReportInput {
    std::string title;                   // e.g. the input file or "built-in synthetic run"
    std::string pluginName;
    int32_t dims[3] = {0, 0, 0};         // x fastest
    double voxelSizeMm[3] = {1.0, 1.0, 1.0};
    double repetitionTimeSeconds = 0.0;
    int32_t volumeCount = 0;
    std::vector<float> firstVolume;      // intensities of volume 0 (defines the plug-in's mask: > 100)
    std::vector<float> maps;             // 8 maps of dims product each, in map order
    std::vector<std::string> mapNames;   // 8 names
    std::vector<MotionEstimate> motion;  // per volume: mm and degrees; empty when none was given
    std::vector<double> stepSeconds;     // latency of each volume's plug-in steps
    std::string endNote;                 // e.g. why a partial run ended; empty for a complete run
    // A live run: per volume, seconds from its file's last write until the
    // outputs had its maps, and the parts of that time; empty otherwise.
    struct Latency {
        std::vector<double> total, detection, reading, motion, step, outputs;
    } latency;
};

// Writes report.html and its PNG pictures into `folder`. Returns false and
// sets `error` when a file cannot be written.
bool writeQcReport(const std::string& folder, const ReportInput& input, std::string& error);

// Framewise displacement of each volume (0 for the first): the sum of the
// absolute backward differences of the six estimates, rotations converted to
// mm of arc on a 50 mm sphere.
std::vector<double> framewiseDisplacement(const std::vector<MotionEstimate>& motion);

}  // namespace korvanth
