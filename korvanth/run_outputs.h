// What a replay leaves in its out folder, and how it gets there: every file is
// written into a staging folder first and moved into place only when all of
// them were written, so a failed run leaves no half-written output.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvanth {

// Where the voxels of a series sit in space, kept from the input so that the
// maps can be overlaid on it.
struct ImageGeometry {
    double voxelSizeMm[3] = {3.0, 3.0, 3.0};
    int qformCode = 0;
    double quatern[3] = {0.0, 0.0, 0.0};  // b, c, d
    double qoffset[3] = {0.0, 0.0, 0.0};  // mm
    double qfac = 1.0;
    int sformCode = 0;
    double srow[3][4] = {{0.0, 0.0, 0.0, 0.0}, {0.0, 0.0, 0.0, 0.0}, {0.0, 0.0, 0.0, 0.0}};
};

// A scanner-space geometry with axes along x, y, z and the volume's centre at
// the origin, as a synthetic series gets.
ImageGeometry centredGeometry(const int32_t dims[3], const double voxelSizeMm[3]);

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

// timing.csv: one row per volume with the latency of its plug-in steps.
bool writeTimingCsv(const std::string& path, const std::vector<double>& stepSeconds, double repetitionTimeSeconds,
                    std::string& error);

struct MapsDescription {
    std::vector<std::string> mapNames;
    int32_t dims[3] = {0, 0, 0};
    int32_t volumeCount = 0;
    std::string source;      // the input file or "built-in synthetic run"
    std::string pluginName;
};

// maps.json: the maps' names in map order (the 4th index of maps.nii.gz and
// the order of maps.f32), with the size of each map.
bool writeMapsJson(const std::string& path, const MapsDescription& description, std::string& error);

// Text quoted as a JSON string.
std::string jsonString(const std::string& text);

}  // namespace korvanth
