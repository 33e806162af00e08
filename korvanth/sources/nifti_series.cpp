#include "korvanth/sources/nifti_series.h"

#include <nifti2_io.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <type_traits>

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
void convertAll(const void* data, int64_t count, Int16Conversion& convert, int16_t* out) {
    const T* values = static_cast<const T*>(data);
    for (int64_t i = 0; i < count; ++i) out[i] = convert(static_cast<double>(values[i]));
}

// Converts one volume of stored values into int16.
void convertVolume(int datatype, const void* stored, int64_t voxels, Int16Conversion& convert, int16_t* out) {
    const bool identity = convert.slope == 1.0 && convert.intercept == 0.0;
    switch (datatype) {
    case NIFTI_TYPE_INT16:
        if (identity)
            std::memcpy(out, stored, static_cast<std::size_t>(voxels) * sizeof(int16_t));
        else
            convertAll<int16_t>(stored, voxels, convert, out);
        break;
    case NIFTI_TYPE_UINT8: convertAll<uint8_t>(stored, voxels, convert, out); break;
    case NIFTI_TYPE_INT8: convertAll<int8_t>(stored, voxels, convert, out); break;
    case NIFTI_TYPE_UINT16: convertAll<uint16_t>(stored, voxels, convert, out); break;
    case NIFTI_TYPE_INT32: convertAll<int32_t>(stored, voxels, convert, out); break;
    case NIFTI_TYPE_UINT32: convertAll<uint32_t>(stored, voxels, convert, out); break;
    case NIFTI_TYPE_INT64: convertAll<int64_t>(stored, voxels, convert, out); break;
    case NIFTI_TYPE_UINT64: convertAll<uint64_t>(stored, voxels, convert, out); break;
    case NIFTI_TYPE_FLOAT32: convertAll<float>(stored, voxels, convert, out); break;
    case NIFTI_TYPE_FLOAT64: convertAll<double>(stored, voxels, convert, out); break;
    default: break;
    }
}

struct FileCloser {
    void operator()(znzFile file) const { Xznzclose(&file); }
};
using FilePtr = std::unique_ptr<std::remove_pointer_t<znzFile>, FileCloser>;

// Opens the image's data and places it at the first voxel.
FilePtr openData(const nifti_image& image) {
    FilePtr file(znzopen(image.iname, "rb", nifti_is_gzfile(image.iname)));
    if (!file) return nullptr;
    if (znzseek(file.get(), static_cast<long>(image.iname_offset), SEEK_SET) < 0) return nullptr;
    return file;
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

struct NiftiSeriesSource::Stream {
    ImagePtr image;
    FilePtr file;
    int64_t voxelsPerVolume = 0;
    int64_t volumeCount = 0;
    int64_t nextVolume = 0;
    Int16Conversion convert;
    std::vector<char> stored;  // one volume as stored
};

NiftiSeriesSource::NiftiSeriesSource(std::string path) : path_(std::move(path)) {}
NiftiSeriesSource::~NiftiSeriesSource() = default;

namespace {
// Reads the header of `path` and checks what every input must be: a file
// with voxels of a supported type in at most 4 dimensions, each volume small
// enough for the host. The volume count is checked by the caller.
ImagePtr readCheckedHeader(const std::string& path, std::string& error) {
    nifti_set_debug_level(0);
    std::error_code failed;
    if (!fs::is_regular_file(path, failed)) {
        error = path + ": no such file";
        return nullptr;
    }
    if (fs::file_size(path, failed) == 0) {
        error = path + ": the file is empty";
        return nullptr;
    }
    ImagePtr image(nifti_image_read(path.c_str(), 0));
    if (!image) {
        error = path + ": not a readable NIfTI-1 or NIfTI-2 image (no valid header)";
        return nullptr;
    }
    const nifti_image& h = *image;
    if (h.nx < 1 || h.ny < 1 || h.nz < 1 || h.nvox < 1) {
        error = path + ": the image holds no voxels";
        return nullptr;
    }
    if (h.nu > 1 || h.nv > 1 || h.nw > 1) {
        error = path + ": has more than 4 dimensions; a run is a 4D series";
        return nullptr;
    }
    if (h.nx > INT32_MAX || h.ny > INT32_MAX || h.nz > INT32_MAX || h.nx * h.ny > INT32_MAX ||
        h.nx * h.ny * h.nz > INT32_MAX || h.nt > INT32_MAX) {
        error = path + ": the volumes are too large for the host";
        return nullptr;
    }
    switch (h.datatype) {
    case NIFTI_TYPE_INT16: case NIFTI_TYPE_UINT8: case NIFTI_TYPE_INT8: case NIFTI_TYPE_UINT16:
    case NIFTI_TYPE_INT32: case NIFTI_TYPE_UINT32: case NIFTI_TYPE_INT64: case NIFTI_TYPE_UINT64:
    case NIFTI_TYPE_FLOAT32: case NIFTI_TYPE_FLOAT64:
        break;
    default:
        error = path + ": voxel data type " + nifti_datatype_string(h.datatype) + " is not supported";
        return nullptr;
    }
    return image;
}

// The int16 conversion of the header's scaling, and whether there is one.
bool headerScaling(const nifti_image& h, Int16Conversion& convert) {
    const bool scaled = h.scl_slope != 0.0 && std::isfinite(h.scl_slope) && std::isfinite(h.scl_inter) &&
                        (h.scl_slope != 1.0 || h.scl_inter != 0.0);
    if (scaled) {
        convert.slope = h.scl_slope;
        convert.intercept = h.scl_inter;
    }
    return scaled;
}

// The grid, geometry and TR of the header (expectedVolumes: the 4th dimension).
// Returns whether the header records a TR (else 2 s is set).
bool describeSeries(const nifti_image& h, const std::string& path, SeriesInfo& series) {
    series = SeriesInfo{};
    series.dims[0] = static_cast<int32_t>(h.nx);
    series.dims[1] = static_cast<int32_t>(h.ny);
    series.dims[2] = static_cast<int32_t>(h.nz);
    series.expectedVolumes = static_cast<int32_t>(h.nt);
    series.title = path;
    ImageGeometry& g = series.geometry;
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
    for (int axis = 0; axis < 3; ++axis)
        series.voxelSizeMm[axis] = g.voxelSizeMm[axis] > 0.0 ? g.voxelSizeMm[axis] : 1.0;

    const double tr = timeToSeconds(h.dt, h.time_units);
    const bool recorded = std::isfinite(tr) && tr > 0.0;
    series.repetitionTimeSeconds = recorded ? tr : 2.0;
    return recorded;
}
}  // namespace

bool NiftiSeriesSource::open(SeriesInfo& series, std::string& error) {
    const std::string& path = path_;
    ImagePtr image = readCheckedHeader(path, error);
    if (!image) return false;
    const nifti_image& h = *image;
    if (h.ndim < 4 || h.nt < 2) {
        error = path + ": is a single " + std::to_string(h.nx) + "x" + std::to_string(h.ny) + "x" +
                std::to_string(h.nz) + " volume (3D); a run needs a 4D series of at least 2 volumes";
        return false;
    }
    const int64_t voxelsPerVolume = h.nx * h.ny * h.nz;

    auto stream = std::make_unique<Stream>();
    const bool scaled = headerScaling(h, stream->convert);
    stream->voxelsPerVolume = voxelsPerVolume;
    stream->volumeCount = h.nt;
    stream->stored.resize(static_cast<std::size_t>(voxelsPerVolume * h.nbyper));

    // The whole data stream is read once before the run: a truncated or
    // corrupt file is refused now, not halfway through, and the conversion's
    // warning can say how many values it clamped.
    const std::string truncated = path + ": the voxel data is truncated or corrupt (expected " +
                                  std::to_string(h.nvox) + " values of " + nifti_datatype_string(h.datatype) + ")";
    {
        FilePtr file = openData(h);
        Int16Conversion counting = stream->convert;
        std::vector<int16_t> scratch(static_cast<std::size_t>(voxelsPerVolume));
        const auto bytes = static_cast<int64_t>(stream->stored.size());
        for (int64_t t = 0; file && t < h.nt; ++t) {
            if (nifti_read_buffer(file.get(), stream->stored.data(), bytes, image.get()) != bytes) {
                file.reset();
                break;
            }
            convertVolume(h.datatype, stream->stored.data(), voxelsPerVolume, counting, scratch.data());
        }
        if (!file) {
            error = truncated;
            return false;
        }
        warnings_.clear();
        if (h.datatype != NIFTI_TYPE_INT16 || scaled) {
            std::string note = path + ": " + nifti_datatype_string(h.datatype) + " data converted to int16";
            if (scaled)
                note += " after applying the scaling (slope " + std::to_string(h.scl_slope) + ", intercept " +
                        std::to_string(h.scl_inter) + ")";
            note += ", rounded to nearest and clamped to [-32768, 32767]: " + std::to_string(counting.clamped) +
                    " values clamped";
            if (counting.notANumber > 0)
                note += ", " + std::to_string(counting.notANumber) + " not-a-number values set to 0";
            warnings_.push_back(note);
        }
    }
    stream->file = openData(h);
    if (!stream->file) {
        error = truncated;
        return false;
    }

    repetitionTimeRecorded_ = describeSeries(h, path, series);
    stream->image = std::move(image);
    stream_ = std::move(stream);
    return true;
}

VolumeSource::Next NiftiSeriesSource::next(std::vector<int16_t>& volume, std::string& error) {
    if (!stream_ || stream_->nextVolume >= stream_->volumeCount) return Next::EndOfRun;
    Stream& s = *stream_;
    const auto bytes = static_cast<int64_t>(s.stored.size());
    if (nifti_read_buffer(s.file.get(), s.stored.data(), bytes, s.image.get()) != bytes) {
        error = path_ + ": volume " + std::to_string(s.nextVolume + 1) + " cannot be read";
        return Next::Failed;
    }
    volume.resize(static_cast<std::size_t>(s.voxelsPerVolume));
    convertVolume(s.image->datatype, s.stored.data(), s.voxelsPerVolume, s.convert, volume.data());
    ++s.nextVolume;
    return Next::Volume;
}

bool readNiftiVolume(const std::string& path, NiftiVolume& volume, std::string& error) {
    volume = NiftiVolume{};
    ImagePtr image = readCheckedHeader(path, error);
    if (!image) return false;
    const nifti_image& h = *image;
    if (h.ndim >= 4 && h.nt > 1) {
        error = path + ": holds " + std::to_string(h.nt) + " volumes; a volume file holds one";
        return false;
    }
    volume.repetitionTimeRecorded = describeSeries(h, path, volume.info);
    volume.info.expectedVolumes = 0;
    Int16Conversion convert;
    headerScaling(h, convert);
    const int64_t voxels = h.nx * h.ny * h.nz;
    std::vector<char> stored(static_cast<std::size_t>(voxels * h.nbyper));
    FilePtr file = openData(h);
    const auto bytes = static_cast<int64_t>(stored.size());
    if (!file || nifti_read_buffer(file.get(), stored.data(), bytes, image.get()) != bytes) {
        error = path + ": the voxel data is truncated or corrupt (expected " + std::to_string(voxels) +
                " values of " + nifti_datatype_string(h.datatype) + ")";
        return false;
    }
    volume.voxels.resize(static_cast<std::size_t>(voxels));
    convertVolume(h.datatype, stored.data(), voxels, convert, volume.voxels.data());
    volume.clamped = convert.clamped;
    return true;
}

bool readNiftiSeries(const std::string& path, NiftiSeries& series, std::string& error) {
    NiftiSeriesSource source(path);
    series = NiftiSeries{};
    if (!source.open(series.info, error)) return false;
    series.repetitionTimeRecorded = source.repetitionTimeRecorded();
    series.warnings = source.warnings();
    for (std::vector<int16_t> volume; source.next(volume, error) == VolumeSource::Next::Volume;)
        series.volumes.push_back(std::move(volume));
    return error.empty();
}

}  // namespace korvanth
