#include "korvanth/run/series.h"

#include <cmath>

namespace korvanth {

ImageGeometry centredGeometry(const int32_t dims[3], const double voxelSizeMm[3]) {
    ImageGeometry g;
    g.qformCode = g.sformCode = 1;  // scanner anatomical
    for (int axis = 0; axis < 3; ++axis) {
        g.voxelSizeMm[axis] = voxelSizeMm[axis];
        g.qoffset[axis] = -0.5 * (dims[axis] - 1) * voxelSizeMm[axis];
        g.srow[axis][axis] = voxelSizeMm[axis];
        g.srow[axis][3] = g.qoffset[axis];
    }
    return g;
}

void voxelToWorld(const ImageGeometry& g, double m[3][4]) {
    if (g.sformCode > 0) {
        for (int row = 0; row < 3; ++row)
            for (int column = 0; column < 4; ++column) m[row][column] = g.srow[row][column];
        return;
    }
    for (int row = 0; row < 3; ++row)
        for (int column = 0; column < 4; ++column) m[row][column] = row == column ? g.voxelSizeMm[row] : 0.0;
    if (g.qformCode <= 0) return;
    // The NIfTI quaternion: a = sqrt(1 - b² - c² - d²), the third column
    // flipped by qfac.
    const double b = g.quatern[0], c = g.quatern[1], d = g.quatern[2];
    const double a = std::sqrt(std::fmax(0.0, 1.0 - (b * b + c * c + d * d)));
    const double r[3][3] = {{a * a + b * b - c * c - d * d, 2 * (b * c - a * d), 2 * (b * d + a * c)},
                            {2 * (b * c + a * d), a * a + c * c - b * b - d * d, 2 * (c * d - a * b)},
                            {2 * (b * d - a * c), 2 * (c * d + a * b), a * a + d * d - c * c - b * b}};
    const double scale[3] = {g.voxelSizeMm[0], g.voxelSizeMm[1], g.voxelSizeMm[2] * (g.qfac < 0.0 ? -1.0 : 1.0)};
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 3; ++column) m[row][column] = r[row][column] * scale[column];
        m[row][3] = g.qoffset[row];
    }
}

}  // namespace korvanth
