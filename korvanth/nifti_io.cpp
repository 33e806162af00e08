#include "nifti_io.h"

#include <nifti2_io.h>

#include <cmath>
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

double lengthToMm(double value, int units) {
    if (units == NIFTI_UNITS_METER) return value * 1000.0;
    if (units == NIFTI_UNITS_MICRON) return value / 1000.0;
    return value;
}

double timeToSeconds(double value, int units) {
    if (units == NIFTI_UNITS_MSEC) return value / 1000.0;
    if (units == NIFTI_UNITS_USEC) return value / 1.0e6;
    return value;
}

template <typename T>
void convertAll(const void* data, int64_t count, Int16Conversion& convert, std::vector<int16_t>& out) {
    const T* values = static_cast<const T*>(data);
    for (int64_t i = 0; i < count; ++i) out[static_cast<std::size_t>(i)] = convert(static_cast<double>(values[i]));
}

// Converts the image's data, volume after volume, into the run's volumes.
bool convertData(const nifti_image& image, int64_t voxelsPerVolume, int64_t volumeCount, Int16Conversion& convert,
                 std::vector<std::vector<int16_t>>& volumes) {
    const bool identity = convert.slope == 1.0 && convert.intercept == 0.0;
    for (int64_t t = 0; t < volumeCount; ++t) {
        std::vector<int16_t> volume(static_cast<std::size_t>(voxelsPerVolume));
        const char* start = static_cast<const char*>(image.data) + t * voxelsPerVolume * image.nbyper;
        switch (image.datatype) {
        case NIFTI_TYPE_INT16:
            if (identity)
                std::memcpy(volume.data(), start, volume.size() * sizeof(int16_t));
            else
                convertAll<int16_t>(start, voxelsPerVolume, convert, volume);
            break;
        case NIFTI_TYPE_UINT8: convertAll<uint8_t>(start, voxelsPerVolume, convert, volume); break;
        case NIFTI_TYPE_INT8: convertAll<int8_t>(start, voxelsPerVolume, convert, volume); break;
        case NIFTI_TYPE_UINT16: convertAll<uint16_t>(start, voxelsPerVolume, convert, volume); break;
        case NIFTI_TYPE_INT32: convertAll<int32_t>(start, voxelsPerVolume, convert, volume); break;
        case NIFTI_TYPE_UINT32: convertAll<uint32_t>(start, voxelsPerVolume, convert, volume); break;
        case NIFTI_TYPE_INT64: convertAll<int64_t>(start, voxelsPerVolume, convert, volume); break;
        case NIFTI_TYPE_UINT64: convertAll<uint64_t>(start, voxelsPerVolume, convert, volume); break;
        case NIFTI_TYPE_FLOAT32: convertAll<float>(start, voxelsPerVolume, convert, volume); break;
        case NIFTI_TYPE_FLOAT64: convertAll<double>(start, voxelsPerVolume, convert, volume); break;
        default: return false;
        }
        volumes.push_back(std::move(volume));
    }
    return true;
}

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
    image.qto_xyz = nifti_quatern_to_dmat44(g.quatern[0], g.quatern[1], g.quatern[2], g.qoffset[0], g.qoffset[1],
                                            g.qoffset[2], g.voxelSizeMm[0], g.voxelSizeMm[1], g.voxelSizeMm[2],
                                            image.qfac);
    image.qto_ijk = nifti_dmat44_inverse(image.qto_xyz);
    image.sform_code = g.sformCode;
    for (int row = 0; row < 3; ++row)
        for (int column = 0; column < 4; ++column) image.sto_xyz.m[row][column] = g.srow[row][column];
    image.sto_xyz.m[3][0] = image.sto_xyz.m[3][1] = image.sto_xyz.m[3][2] = 0.0;
    image.sto_xyz.m[3][3] = 1.0;
    image.sto_ijk = nifti_dmat44_inverse(image.sto_xyz);
}

// Writes a 4D image of `datatype` holding a copy of `bytes`.
bool writeImage(const std::string& path, const int32_t dims[3], int64_t fourth, double fourthStep, int datatype,
                const void* bytes, const ImageGeometry& geometry, const char* description, std::string& error) {
    nifti_set_debug_level(0);
    const int64_t shape[8] = {4, dims[0], dims[1], dims[2], fourth, 1, 1, 1};
    ImagePtr image(nifti_make_new_nim(shape, datatype, 1));
    if (!image) {
        error = path + ": cannot create the image";
        return false;
    }
    std::memcpy(image->data, bytes, static_cast<std::size_t>(image->nvox) * static_cast<std::size_t>(image->nbyper));
    setGeometry(*image, geometry);
    image->dt = image->pixdim[4] = fourthStep;
    std::snprintf(image->descrip, sizeof image->descrip, "%s", description);
    image->nifti_type = NIFTI_FTYPE_NIFTI1_1;
    std::error_code ignored;
    fs::remove(path, ignored);
    if (nifti_set_filenames(image.get(), path.c_str(), 0, 1) != 0) {
        error = path + ": not a NIfTI file name";
        return false;
    }
    nifti_image_write(image.get());
    const uintmax_t size = fs::file_size(path, ignored);
    if (ignored || size == 0 || size == static_cast<uintmax_t>(-1)) {
        error = path + ": cannot write the image";
        return false;
    }
    return true;
}
}  // namespace

int16_t Int16Conversion::operator()(double stored) {
    const double value = stored * slope + intercept;
    if (std::isnan(value)) {
        ++notANumber;
        return 0;
    }
    const double rounded = std::round(value);
    if (rounded < -32768.0) {
        ++clamped;
        return -32768;
    }
    if (rounded > 32767.0) {
        ++clamped;
        return 32767;
    }
    return static_cast<int16_t>(rounded);
}

bool readNiftiSeries(const std::string& path, NiftiSeries& series, std::string& error) {
    nifti_set_debug_level(0);
    std::error_code failed;
    if (!fs::is_regular_file(path, failed)) {
        error = path + ": no such file";
        return false;
    }
    if (fs::file_size(path, failed) == 0) {
        error = path + ": the file is empty";
        return false;
    }
    ImagePtr image(nifti_image_read(path.c_str(), 0));
    if (!image) {
        error = path + ": not a readable NIfTI-1 or NIfTI-2 image (no valid header)";
        return false;
    }
    const nifti_image& h = *image;
    if (h.nx < 1 || h.ny < 1 || h.nz < 1 || h.nvox < 1) {
        error = path + ": the image holds no voxels";
        return false;
    }
    if (h.ndim < 4 || h.nt < 2) {
        error = path + ": is a single " + std::to_string(h.nx) + "x" + std::to_string(h.ny) + "x" +
                std::to_string(h.nz) + " volume (3D); a run needs a 4D series of at least 2 volumes";
        return false;
    }
    if (h.nu > 1 || h.nv > 1 || h.nw > 1) {
        error = path + ": has more than 4 dimensions; a run is a 4D series";
        return false;
    }
    const int64_t voxelsPerVolume = h.nx * h.ny * h.nz;
    if (h.nx > INT32_MAX || h.ny > INT32_MAX || h.nz > INT32_MAX || voxelsPerVolume > INT32_MAX) {
        error = path + ": the volumes are too large for the host";
        return false;
    }
    switch (h.datatype) {
    case NIFTI_TYPE_INT16: case NIFTI_TYPE_UINT8: case NIFTI_TYPE_INT8: case NIFTI_TYPE_UINT16:
    case NIFTI_TYPE_INT32: case NIFTI_TYPE_UINT32: case NIFTI_TYPE_INT64: case NIFTI_TYPE_UINT64:
    case NIFTI_TYPE_FLOAT32: case NIFTI_TYPE_FLOAT64:
        break;
    default:
        error = path + ": voxel data type " + nifti_datatype_string(h.datatype) + " is not supported";
        return false;
    }
    if (nifti_image_load(image.get()) != 0 || image->data == nullptr) {
        error = path + ": the voxel data is truncated or corrupt (expected " + std::to_string(h.nvox) + " values of " +
                nifti_datatype_string(h.datatype) + ")";
        return false;
    }

    Int16Conversion convert;
    const bool scaled = h.scl_slope != 0.0 && std::isfinite(h.scl_slope) && std::isfinite(h.scl_inter) &&
                        (h.scl_slope != 1.0 || h.scl_inter != 0.0);
    if (scaled) {
        convert.slope = h.scl_slope;
        convert.intercept = h.scl_inter;
    }
    RunData& run = series.run;
    run = RunData{};
    run.dims[0] = static_cast<int32_t>(h.nx);
    run.dims[1] = static_cast<int32_t>(h.ny);
    run.dims[2] = static_cast<int32_t>(h.nz);
    convertData(h, voxelsPerVolume, h.nt, convert, run.volumes);

    series.warnings.clear();
    if (h.datatype != NIFTI_TYPE_INT16 || scaled) {
        std::string note = path + ": " + nifti_datatype_string(h.datatype) + " data converted to int16";
        if (scaled)
            note += " after applying the scaling (slope " + std::to_string(h.scl_slope) + ", intercept " +
                    std::to_string(h.scl_inter) + ")";
        note += ", rounded to nearest and clamped to [-32768, 32767]: " + std::to_string(convert.clamped) +
                " values clamped";
        if (convert.notANumber > 0) note += ", " + std::to_string(convert.notANumber) + " not-a-number values set to 0";
        series.warnings.push_back(note);
    }

    ImageGeometry& g = series.geometry;
    g = ImageGeometry{};
    g.voxelSizeMm[0] = lengthToMm(std::fabs(h.dx), h.xyz_units);
    g.voxelSizeMm[1] = lengthToMm(std::fabs(h.dy), h.xyz_units);
    g.voxelSizeMm[2] = lengthToMm(std::fabs(h.dz), h.xyz_units);
    g.qformCode = h.qform_code;
    g.quatern[0] = h.quatern_b;
    g.quatern[1] = h.quatern_c;
    g.quatern[2] = h.quatern_d;
    g.qoffset[0] = lengthToMm(h.qoffset_x, h.xyz_units);
    g.qoffset[1] = lengthToMm(h.qoffset_y, h.xyz_units);
    g.qoffset[2] = lengthToMm(h.qoffset_z, h.xyz_units);
    g.qfac = h.qfac < 0.0 ? -1.0 : 1.0;
    g.sformCode = h.sform_code;
    for (int row = 0; row < 3; ++row)
        for (int column = 0; column < 4; ++column)
            g.srow[row][column] = lengthToMm(h.sto_xyz.m[row][column], h.xyz_units);
    for (int axis = 0; axis < 3; ++axis) run.voxelSizeMm[axis] = g.voxelSizeMm[axis] > 0.0 ? g.voxelSizeMm[axis] : 1.0;

    const double tr = timeToSeconds(h.dt, h.time_units);
    series.repetitionTimeRecorded = std::isfinite(tr) && tr > 0.0;
    run.repetitionTimeSeconds = series.repetitionTimeRecorded ? tr : 2.0;
    return true;
}

bool writeNiftiSeries(const std::string& path, const RunData& run, const ImageGeometry& geometry, std::string& error) {
    const std::size_t voxels = static_cast<std::size_t>(run.dims[0]) * run.dims[1] * run.dims[2];
    std::vector<int16_t> data;
    data.reserve(voxels * run.volumes.size());
    for (const std::vector<int16_t>& volume : run.volumes) data.insert(data.end(), volume.begin(), volume.end());
    return writeImage(path, run.dims, static_cast<int64_t>(run.volumes.size()), run.repetitionTimeSeconds,
                      NIFTI_TYPE_INT16, data.data(), geometry, "Korvanth synthetic run", error);
}

bool writeNiftiMaps(const std::string& path, const int32_t dims[3], const ImageGeometry& geometry,
                    const std::vector<float>& maps, int32_t mapCount, std::string& error) {
    const std::size_t voxels = static_cast<std::size_t>(dims[0]) * dims[1] * dims[2];
    if (maps.size() != voxels * static_cast<std::size_t>(mapCount)) {
        error = path + ": the plug-in maps do not match the volume size";
        return false;
    }
    return writeImage(path, dims, mapCount, 1.0, NIFTI_TYPE_FLOAT32, maps.data(), geometry,
                      "QC maps in map order, see maps.json", error);
}

}  // namespace korvanth
