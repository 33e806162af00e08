// What a replay leaves in its out folder, and how it gets there: every file is
// written into a staging folder first and moved into place only when all of
// them were written, so a failed run leaves no half-written output.
#pragma once

#include "korvanth/run/motion_estimate.h"
#include "korvanth/run/run_observer.h"
#include "korvanth/run/series.h"

#include <cstdint>
#include <string>
#include <vector>

namespace korvanth {

class OutputStaging {
public:
    // Creates `outFolder` if needed and a fresh staging folder inside it.
    // Returns false with `error` set when either cannot be created or written.
    bool begin(const std::string& outFolder, std::string& error);
    // The staging folder, with a trailing separator.
    const std::string& folder() const { return staging_; }
    std::string path(const std::string& name) const { return staging_ + name; }
    // Moves every file of the staging folder into the out folder (replacing
    // files of the same name) and removes the staging folder.
    bool commit(std::string& error);
    // Removes the staging folder and everything in it.
    void discard();
    ~OutputStaging();

private:
    std::string out_;
    std::string staging_;
};

// timing.csv: one row per volume with the latency of its plug-in steps and,
// for a volume from a live source's file, the time from the file's last write
// until the maps were handed to the outputs and its parts (detection, reading,
// motion, step, outputs); those fields are empty for other volumes.
bool writeTimingCsv(const std::string& path, const std::vector<VolumeTiming>& timings, double repetitionTimeSeconds,
                    std::string& error);

struct MapsDescription {
    std::vector<std::string> mapNames;
    int32_t dims[3] = {0, 0, 0};
    int32_t volumeCount = 0;
    std::string source;      // the input file or "built-in synthetic run"
    std::string pluginName;
    bool partial = false;    // the run ended early: a stop request or a source failure
    std::string endReason;
};

// maps.json: the maps' names in map order (the 4th index of maps.nii.gz and
// the order of maps.f32), with the size of each map.
bool writeMapsJson(const std::string& path, const MapsDescription& description, std::string& error);

// Text quoted as a JSON string.
std::string jsonString(const std::string& text);

// Writes `motion` in the plain motion file format (dx dy dz in mm, rx ry rz in degrees) with enough digits that reading it back
// gives the same numbers.
bool writePlainMotionFile(const std::string& path, const std::vector<MotionEstimate>& motion, std::string& error);

}  // namespace korvanth
