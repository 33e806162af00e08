#include "korvanth/outputs/nifti_writer.h"

#include <nifti2_io.h>

#include <cstring>
#include <filesystem>
#include <memory>

namespace fs = std::filesystem;

namespace korvanth {

namespace {
struct ImageDeleter {
    void operator()(nifti_image* image) const { nifti_image_free(image); }
};
using ImagePtr = std::unique_ptr<nifti_image, ImageDeleter>;

void setGeometry(nifti_image& image, const ImageGeometry& g) {
    image.dx = image.pixdim[1] = g.voxelSizeMm[0];
    image.dy = image.pixdim[2] = g.voxelSizeMm[1];
    image.dz = image.pixdim[3] = g.voxelSizeMm[2];
    image.xyz_units = NIFTI_UNITS_MM;
    image.time_units = NIFTI_UNITS_SEC;
    image.qform_code = g.qformCode;
    image.quatern_b = g.quatern[0];
    image.quatern_c = g.quatern[1];
    image.quatern_d = g.quatern[2];
    image.qoffset_x = g.qoffset[0];
    image.qoffset_y = g.qoffset[1];
    image.qoffset_z = g.qoffset[2];
    image.qfac = image.pixdim[0] = g.qfac < 0.0 ? -1.0 : 1.0;
    image.qto_xyz =
        nifti_quatern_to_dmat44(g.quatern[0], g.quatern[1], g.quatern[2], g.qoffset[0], g.qoffset[1], g.qoffset[2],
                                g.voxelSizeMm[0], g.voxelSizeMm[1], g.voxelSizeMm[2], image.qfac);
    image.qto_ijk = nifti_dmat44_inverse(image.qto_xyz);
    image.sform_code = g.sformCode;
    for (int row = 0; row < 3; ++row)
        for (int column = 0; column < 4; ++column) image.sto_xyz.m[row][column] = g.srow[row][column];
    image.sto_xyz.m[3][0] = image.sto_xyz.m[3][1] = image.sto_xyz.m[3][2] = 0.0;
    image.sto_xyz.m[3][3] = 1.0;
    image.sto_ijk = nifti_dmat44_inverse(image.sto_xyz);
}

// Writes the header of a 4D image of `datatype`, then `blockCount` blocks of
// `blockBytes` each from `blocks`, checking every write and the close.
bool writeImage(const std::string& path, const int32_t dims[3], int64_t fourth, double fourthStep, int datatype,
                const void* const* blocks, int64_t blockCount, int64_t blockBytes, const ImageGeometry& geometry,
                const std::string& description, std::string& error, double slope = 1.0, double intercept = 0.0) {
    nifti_set_debug_level(0);
    const int64_t shape[8] = {4, dims[0], dims[1], dims[2], fourth, 1, 1, 1};
    ImagePtr image(nifti_make_new_nim(shape, datatype, 0));
    if (!image) {
        error = path + ": cannot create the image";
        return false;
    }
    setGeometry(*image, geometry);
    image->dt = image->pixdim[4] = fourthStep;
    image->scl_slope = static_cast<float>(slope);
    image->scl_inter = static_cast<float>(intercept);
    std::snprintf(image->descrip, sizeof image->descrip, "%s", description.c_str());
    image->nifti_type = NIFTI_FTYPE_NIFTI1_1;
    std::error_code ignored;
    fs::remove(path, ignored);
    if (nifti_set_filenames(image.get(), path.c_str(), 0, 1) != 0) {
        error = path + ": not a NIfTI file name";
        return false;
    }
    // Header only, the file left open for the data.
    znzFile file = nifti_image_write_hdr_img(image.get(), 2, "wb");
    if (znz_isnull(file)) {
        error = path + ": cannot write the image";
        return false;
    }
    bool written = true;
    for (int64_t block = 0; block < blockCount && written; ++block)
        written = nifti_write_buffer(file, blocks[block], blockBytes) == blockBytes;
    written = znzclose(file) == 0 && written;
    if (!written) {
        error = path + ": cannot write the image";
        fs::remove(path, ignored);
    }
    return written;
}
}  // namespace

bool writeNiftiSeries(const std::string& path, const int32_t dims[3], const int16_t* const* volumes,
                      int32_t volumeCount, double repetitionTimeSeconds, const ImageGeometry& geometry,
                      const std::string& description, std::string& error, double slope, double intercept) {
    const int64_t volumeBytes =
        static_cast<int64_t>(dims[0]) * dims[1] * dims[2] * static_cast<int64_t>(sizeof(int16_t));
    const std::vector<const void*> blocks(volumes, volumes + volumeCount);
    return writeImage(path, dims, volumeCount, repetitionTimeSeconds, NIFTI_TYPE_INT16, blocks.data(), volumeCount,
                      volumeBytes, geometry, description, error, slope, intercept);
}

bool writeNiftiMaps(const std::string& path, const int32_t dims[3], const ImageGeometry& geometry,
                    const std::vector<float>& maps, int32_t mapCount, std::string& error) {
    const std::size_t voxels = static_cast<std::size_t>(dims[0]) * dims[1] * dims[2];
    if (maps.size() != voxels * static_cast<std::size_t>(mapCount)) {
        error = path + ": the plug-in maps do not match the volume size";
        return false;
    }
    const void* block = maps.data();
    return writeImage(path, dims, mapCount, 1.0, NIFTI_TYPE_FLOAT32, &block, 1,
                      static_cast<int64_t>(maps.size() * sizeof(float)), geometry,
                      "QC maps in map order, see maps.json", error);
}

}  // namespace korvanth
