// What a volume source tells the host about its series: the grid, where it
// sits in space and the timing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvanth {

// Where the voxels of a series sit in space, as a NIfTI header records it
// (qform and sform), kept from the input so that outputs can be overlaid on it.
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

// The voxel-to-world matrix (mm) of `geometry`, rows of [R | t]: the sform
// when it is set, else the qform, else the voxel sizes alone.
void voxelToWorld(const ImageGeometry& geometry, double matrix[3][4]);

struct SeriesInfo {
    int32_t dims[3] = {0, 0, 0};  // x fastest in every volume
    double voxelSizeMm[3] = {3.0, 3.0, 3.0};
    ImageGeometry geometry;
    double repetitionTimeSeconds = 2.0;
    // The stored integers' scaling to real units (NIfTI scl_slope/scl_inter,
    // DICOM rescale slope/intercept), kept beside the values, not applied.
    double valueSlope = 1.0, valueIntercept = 0.0;
    int32_t expectedVolumes = 0;  // 0: not known in advance (a live run)
    std::string title;            // names the input in reports: a file, a folder, the synthetic run

    int64_t voxelCount() const { return static_cast<int64_t>(dims[0]) * dims[1] * dims[2]; }
};

// An echo after the first of a multi-echo run: its number and its volumes
// (voxels as the run's, x fastest), in the run's order.
struct EchoSeries {
    int32_t echo = 0;
    std::vector<std::vector<int16_t>> volumes;
};

// An echo after the first of a multi-echo run as the outputs name it: its
// volumes, written beside bold.nii.gz, and its tSNR over the plug-in's mask.
struct EchoSummary {
    int32_t echo = 0;
    int32_t volumes = 0;
    std::string file;         // bold_echo-<echo>.nii.gz
    double tsnrMedian = 0.0;  // NaN when no masked voxel has a finite tSNR
};

}  // namespace korvanth
