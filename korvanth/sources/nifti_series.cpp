#include "korvanth/sources/nifti_series.h"

#include "korvanth/sources/input_file.h"

#include <nifti2_io.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
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

// Stored values of float types that are not finite (NaN, ±Inf) are read as 0
// and counted, as the library's own reader would read them without counting.
template <typename T>
void convertAll(const void* data, int64_t count, Int16Conversion& convert, int16_t* out) {
    const T* values = static_cast<const T*>(data);
    for (int64_t i = 0; i < count; ++i) {
        double stored = static_cast<double>(values[i]);
        if (std::is_floating_point<T>::value && !std::isfinite(stored)) {
            ++convert.storedNotFinite;
            stored = 0.0;
        }
        out[i] = convert(stored);
    }
}

// Converts one volume of stored values (in this machine's byte order) into int16.
void convertVolume(int datatype, const void* stored, int64_t voxels, Int16Conversion& convert, int16_t* out) {
    const bool identity = convert.slope == 1.0 && convert.intercept == 0.0;
    switch (datatype) {
        case NIFTI_TYPE_INT16:
            if (identity)
                std::memcpy(out, stored, static_cast<std::size_t>(voxels) * sizeof(int16_t));
            else
                convertAll<int16_t>(stored, voxels, convert, out);
            break;
        case NIFTI_TYPE_UINT8:
            convertAll<uint8_t>(stored, voxels, convert, out);
            break;
        case NIFTI_TYPE_INT8:
            convertAll<int8_t>(stored, voxels, convert, out);
            break;
        case NIFTI_TYPE_UINT16:
            convertAll<uint16_t>(stored, voxels, convert, out);
            break;
        case NIFTI_TYPE_INT32:
            convertAll<int32_t>(stored, voxels, convert, out);
            break;
        case NIFTI_TYPE_UINT32:
            convertAll<uint32_t>(stored, voxels, convert, out);
            break;
        case NIFTI_TYPE_INT64:
            convertAll<int64_t>(stored, voxels, convert, out);
            break;
        case NIFTI_TYPE_UINT64:
            convertAll<uint64_t>(stored, voxels, convert, out);
            break;
        case NIFTI_TYPE_FLOAT32:
            convertAll<float>(stored, voxels, convert, out);
            break;
        case NIFTI_TYPE_FLOAT64:
            convertAll<double>(stored, voxels, convert, out);
            break;
        default:
            break;
    }
}

bool supportedDatatype(int64_t datatype) {
    switch (datatype) {
        case NIFTI_TYPE_INT16:
        case NIFTI_TYPE_UINT8:
        case NIFTI_TYPE_INT8:
        case NIFTI_TYPE_UINT16:
        case NIFTI_TYPE_INT32:
        case NIFTI_TYPE_UINT32:
        case NIFTI_TYPE_INT64:
        case NIFTI_TYPE_UINT64:
        case NIFTI_TYPE_FLOAT32:
        case NIFTI_TYPE_FLOAT64:
            return true;
        default:
            return false;
    }
}

// The header as stored, read before the library fills in its defaults (a
// zero pixdim becomes 1) or multiplies the dimensions (which can wrap).
struct StoredHeader {
    int version = 0;  // 1 or 2
    int64_t dim[8] = {};
    double pixdim4 = 0.0;
    int64_t datatype = 0;
    double voxOffset = 0.0;
    bool singleFile = false;  // .nii: header and data in one file
};

// Whether `path` is gzipped and its stream breaks off or fails its check sum
// (a small file is decompressed whole by the first read, so the header read
// fails on it too).
bool gzipStreamDamaged(const std::string& path) {
    if (!nifti_is_gzfile(path.c_str())) return false;
    gzFile file = gzopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    char buffer[1 << 14];
    int read = 0;
    while ((read = gzread(file, buffer, sizeof buffer)) > 0) {}
    gzclose(file);
    return read < 0;
}

bool readStoredHeader(const std::string& path, StoredHeader& header, std::string& error) {
    int version = 0;
    void* raw = nifti_read_header(path.c_str(), &version, 0);
    if (raw == nullptr || (version != 1 && version != 2)) {
        std::free(raw);
        error = path + (gzipStreamDamaged(path) ? ": the gzip stream is truncated or corrupt"
                                                : ": not a readable NIfTI-1 or NIfTI-2 image (no valid header)");
        return false;
    }
    // The header as the library returns it is in the file's byte order; its
    // size field tells which, and with the magic string whether it is a
    // header at all. Anything else is refused before the library converts
    // it (it does not survive every malformed header).
    const int32_t expectedSize = version == 1 ? 348 : 540;
    int32_t size = *static_cast<const int32_t*>(raw);
    if (size != expectedSize) {
        nifti_swap_4bytes(1, &size);
        if (size == expectedSize) swap_nifti_header(raw, version);
    }
    const char* magic =
        version == 1 ? static_cast<const nifti_1_header*>(raw)->magic : static_cast<const nifti_2_header*>(raw)->magic;
    const bool magicGood =
        version == 1 ? (std::memcmp(magic, "n+1", 4) == 0 || std::memcmp(magic, "ni1", 4) == 0)
                     : (std::memcmp(magic, "n+2\0\r\n\032\n", 8) == 0 || std::memcmp(magic, "ni2\0\r\n\032\n", 8) == 0);
    if (size != expectedSize || !magicGood) {
        std::free(raw);
        error = path + ": not a valid NIfTI-" + std::to_string(version) + " header (its size field or magic string)";
        return false;
    }
    header.version = version;
    if (version == 1) {
        const auto* h = static_cast<const nifti_1_header*>(raw);
        for (int i = 0; i < 8; ++i) header.dim[i] = h->dim[i];
        header.pixdim4 = h->pixdim[4];
        header.datatype = h->datatype;
        header.voxOffset = h->vox_offset;
        header.singleFile = std::strncmp(h->magic, "n+1", 3) == 0;
    } else {
        const auto* h = static_cast<const nifti_2_header*>(raw);
        for (int i = 0; i < 8; ++i) header.dim[i] = h->dim[i];
        header.pixdim4 = h->pixdim[4];
        header.datatype = h->datatype;
        header.voxOffset = static_cast<double>(h->vox_offset);
        header.singleFile = std::strncmp(h->magic, "n+2", 3) == 0;
    }
    std::free(raw);
    return true;
}

// Checks every field the reader relies on, with arithmetic that cannot wrap:
// dimensions positive, sizes within the host's limits, the data offset where
// a data block may start. `series`: a run of at least two volumes is wanted,
// else a single volume (3D, or 4D with one volume).
bool checkStoredHeader(const std::string& path, const StoredHeader& h, bool series, std::string& error) {
    const int64_t rank = h.dim[0];
    if (rank < 1 || rank > 7) {
        error = path + ": the header gives " + std::to_string(rank) + " dimensions (dim[0]); a series has 4";
        return false;
    }
    for (int i = 1; i <= rank; ++i)
        if (h.dim[i] < 1) {
            error = path + ": dimension " + std::to_string(i) + " is " + std::to_string(h.dim[i]) + " (dim[" +
                    std::to_string(i) + "]); every dimension must be at least 1";
            return false;
        }
    auto dimension = [&](int i) { return i <= rank ? h.dim[i] : int64_t{1}; };
    if (!series && dimension(4) > 1) {
        error = path + ": holds " + std::to_string(dimension(4)) + " volumes; a volume file holds one";
        return false;
    }
    if (series && (rank < 4 || dimension(4) < 2)) {
        error = path + ": is a single " + std::to_string(dimension(1)) + "x" + std::to_string(dimension(2)) + "x" +
                std::to_string(dimension(3)) + " volume (3D); a run needs a 4D series of at least 2 volumes";
        return false;
    }
    if (dimension(5) > 1 || dimension(6) > 1 || dimension(7) > 1) {
        error = path + ": has more than 4 dimensions; a run is a 4D series";
        return false;
    }
    int64_t voxels = 1;
    for (int i = 1; i <= 3; ++i) {
        if (dimension(i) > INT32_MAX / voxels) {
            error = path + ": the volumes are too large for the host (" + std::to_string(dimension(1)) + "x" +
                    std::to_string(dimension(2)) + "x" + std::to_string(dimension(3)) + " voxels; at most " +
                    std::to_string(INT32_MAX) + " per volume)";
            return false;
        }
        voxels *= dimension(i);
    }
    if (dimension(4) > INT32_MAX) {
        error = path + ": the series has " + std::to_string(dimension(4)) + " volumes; the host takes at most " +
                std::to_string(INT32_MAX);
        return false;
    }
    if (!supportedDatatype(h.datatype)) {
        error = path + ": voxel data type " + nifti_datatype_string(static_cast<int>(h.datatype)) + " (" +
                std::to_string(h.datatype) + ") is not supported";
        return false;
    }
    const double minimumOffset = h.version == 1 ? 352.0 : 544.0;
    if (!std::isfinite(h.voxOffset) || h.voxOffset < 0.0 || h.voxOffset != std::floor(h.voxOffset) ||
        h.voxOffset > 1.0e15 || (h.singleFile && h.voxOffset < minimumOffset)) {
        error = path + ": the data offset (vox_offset " + std::to_string(h.voxOffset) + ") is not valid" +
                (h.singleFile ? "; in a single-file image the data starts at byte " +
                                    std::to_string(static_cast<int>(minimumOffset)) + " or later"
                              : std::string());
        return false;
    }
    return true;
}

// Deflate makes at most 1032 bytes of one byte of its stream (a run of 258
// bytes in two bits, at best): the bound on what a gzip file can hold.
constexpr int64_t maxDeflateExpansion = 1032;

struct GzCloser {
    void operator()(gzFile file) const { gzclose(file); }
};
using GzPtr = std::unique_ptr<gzFile_s, GzCloser>;

// Opens the image's data (gzipped or not) and places it at the first voxel.
GzPtr openData(const nifti_image& image) {
    GzPtr file(gzopen(image.iname, "rb"));
    if (!file) return nullptr;
    gzbuffer(file.get(), 1 << 17);
    if (gzseek(file.get(), static_cast<z_off_t>(image.iname_offset), SEEK_SET) != image.iname_offset) return nullptr;
    return file;
}

// Reads `bytes` of stored data into `buffer` in this machine's byte order.
bool readStored(gzFile file, const nifti_image& image, std::vector<char>& buffer) {
    std::size_t done = 0;
    while (done < buffer.size()) {
        const auto chunk = static_cast<unsigned>(std::min<std::size_t>(buffer.size() - done, 1u << 30));
        const int read = gzread(file, buffer.data() + done, chunk);
        if (read <= 0) return false;
        done += static_cast<std::size_t>(read);
    }
    if (image.swapsize > 1 && image.byteorder != nifti_short_order())
        nifti_swap_Nbytes(static_cast<int64_t>(buffer.size()) / image.swapsize, image.swapsize, buffer.data());
    return true;
}

// Reads whatever follows the data to the end of the stream, so that a
// damaged gzip stream (its check sum, a cut) is found now.
bool streamEndsCleanly(gzFile file) {
    char rest[4096];
    int read = 0;
    while ((read = gzread(file, rest, sizeof rest)) > 0) {}
    return read == 0;
}
}  // namespace

int16_t Int16Conversion::operator()(double stored) {
    const double value = stored * slope + intercept;
    if (std::isnan(value)) {
        ++notANumber;
        return 0;
    }
    const double nearest = std::round(value);
    if (nearest < -32768.0) {
        ++clamped;
        return -32768;
    }
    if (nearest > 32767.0) {
        ++clamped;
        return 32767;
    }
    if (nearest != value) ++rounded;
    return static_cast<int16_t>(nearest);
}

struct NiftiSeriesSource::Stream {
    ImagePtr image;
    GzPtr file;
    int64_t voxelsPerVolume = 0;
    int64_t volumeCount = 0;
    int64_t nextVolume = 0;
    Int16Conversion convert;
    std::vector<char> stored;  // one volume as stored
};

NiftiSeriesSource::NiftiSeriesSource(std::string path) : path_(std::move(path)) {}
NiftiSeriesSource::~NiftiSeriesSource() = default;

namespace {
// Reads and checks the header of `path` (see checkStoredHeader) and, for an
// uncompressed file, that its data is all there. Null with `error` set when
// the file cannot be a `series` (or a single volume).
ImagePtr readCheckedHeader(const std::string& path, bool series, StoredHeader& stored, std::string& error) {
    nifti_set_debug_level(0);
    if (!checkInputFile(path, error)) return nullptr;
    if (inputFileSize(path) == 0) {
        error = path + ": the file is empty";
        return nullptr;
    }
    if (!readStoredHeader(path, stored, error) || !checkStoredHeader(path, stored, series, error)) return nullptr;
    ImagePtr image(nifti_image_read(path.c_str(), 0));
    if (!image || image->nbyper < 1 || image->iname == nullptr) {
        error = path + ": not a readable NIfTI-1 or NIfTI-2 image (no valid header)";
        return nullptr;
    }
    const nifti_image& h = *image;
    // A volume is at most 2^31 voxels of 8 bytes (checked above); the series'
    // bytes are kept from wrapping (no file holds INT64_MAX bytes). A 3D
    // header's dim[4] may be 0: one volume.
    const int64_t volumeBytes = h.nx * h.ny * h.nz * h.nbyper, volumes = std::max<int64_t>(h.nt, 1);
    const int64_t dataBytes = volumes <= INT64_MAX / volumeBytes ? volumeBytes * volumes : INT64_MAX;
    const int64_t imageFileSize = inputFileSize(h.iname);
    if (imageFileSize < 0) return image;  // its reading says why
    if (!nifti_is_gzfile(h.iname)) {
        if (imageFileSize < h.iname_offset || imageFileSize - h.iname_offset < dataBytes) {
            error = path + ": the voxel data is truncated (the header promises " + std::to_string(dataBytes) +
                    " bytes from byte " + std::to_string(h.iname_offset) + ", the file holds " +
                    std::to_string(imageFileSize) + ")";
            return nullptr;
        }
    } else if (dataBytes / maxDeflateExpansion > imageFileSize) {
        // Said by the file's length alone, before anything is decompressed.
        error = path + ": the voxel data is truncated (the header promises " + std::to_string(dataBytes) +
                " bytes, more than a gzip file of " + std::to_string(imageFileSize) + " bytes can hold)";
        return nullptr;
    }
    return image;
}

bool integerType(int datatype) {
    switch (datatype) {
        case NIFTI_TYPE_UINT8:
        case NIFTI_TYPE_INT8:
        case NIFTI_TYPE_INT16:
        case NIFTI_TYPE_UINT16:
        case NIFTI_TYPE_INT32:
        case NIFTI_TYPE_UINT32:
        case NIFTI_TYPE_INT64:
        case NIFTI_TYPE_UINT64:
            return true;
        default:
            return false;
    }
}

// The int16 conversion of the header's scaling, and whether it is applied:
// the one value rule (as for DICOM) keeps stored integers as they are, their
// scaling beside them; only non-integer data is scaled before rounding.
bool headerScaling(const nifti_image& h, Int16Conversion& convert) {
    const bool scaled = !integerType(h.datatype) && h.scl_slope != 0.0 && std::isfinite(h.scl_slope) &&
                        std::isfinite(h.scl_inter) && (h.scl_slope != 1.0 || h.scl_inter != 0.0);
    if (scaled) {
        convert.slope = h.scl_slope;
        convert.intercept = h.scl_inter;
    }
    return scaled;
}

// The grid, geometry and TR of the header (expectedVolumes: the 4th
// dimension). Returns whether the header records a TR (else 2 s is set); the
// stored pixdim[4] decides, as the library reads a missing TR (0) as 1 s.
bool describeSeries(const nifti_image& h, const StoredHeader& stored, const std::string& path, SeriesInfo& series) {
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
    const double tr = timeToSeconds(stored.pixdim4, h.time_units);
    const bool recorded = std::isfinite(tr) && tr > 0.0;
    series.repetitionTimeSeconds = recorded ? tr : 2.0;
    if (integerType(h.datatype) && std::isfinite(h.scl_slope) && h.scl_slope != 0.0 && std::isfinite(h.scl_inter)) {
        series.valueSlope = h.scl_slope;
        series.valueIntercept = h.scl_inter;
    }
    return recorded;
}
}  // namespace

bool NiftiSeriesSource::open(SeriesInfo& series, std::string& error) {
    const std::string& path = path_;
    StoredHeader stored;
    ImagePtr image = readCheckedHeader(path, true, stored, error);
    if (!image) return false;
    const nifti_image& h = *image;
    const int64_t voxelsPerVolume = h.nx * h.ny * h.nz;

    auto stream = std::make_unique<Stream>();
    const bool scaled = headerScaling(h, stream->convert);
    stream->voxelsPerVolume = voxelsPerVolume;
    stream->volumeCount = h.nt;

    // The whole data stream is read once before the run: a truncated or
    // corrupt file is refused now, not halfway through, and the conversion's
    // warning can say how many values it clamped.
    const std::string truncated = path + ": the voxel data is truncated or corrupt (expected " +
                                  std::to_string(h.nvox) + " values of " + nifti_datatype_string(h.datatype) + ")";
    {
        // In blocks of at most 64 Ki values: nothing the size of a volume is
        // allocated before the data has shown that it is there.
        GzPtr file = openData(h);
        Int16Conversion counting = stream->convert;
        const int64_t blockValues = std::min<int64_t>(int64_t{1} << 16, voxelsPerVolume * h.nt);
        std::vector<char> block;
        std::vector<int16_t> scratch(static_cast<std::size_t>(blockValues));
        for (int64_t done = 0, total = voxelsPerVolume * h.nt; file && done < total; done += blockValues) {
            const int64_t values = std::min(blockValues, total - done);
            block.resize(static_cast<std::size_t>(values * h.nbyper));
            if (!readStored(file.get(), h, block))
                file.reset();
            else
                convertVolume(h.datatype, block.data(), values, counting, scratch.data());
        }
        if (!file || !streamEndsCleanly(file.get())) {
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
            if (counting.storedNotFinite > 0)
                note += ", " + std::to_string(counting.storedNotFinite) + " stored NaN or infinite values read as 0";
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

    repetitionTimeRecorded_ = describeSeries(h, stored, path, series);
    stream->image = std::move(image);
    stream_ = std::move(stream);
    return true;
}

VolumeSource::Next NiftiSeriesSource::next(std::vector<int16_t>& volume, std::string& error) {
    if (!stream_ || stream_->nextVolume >= stream_->volumeCount) return Next::EndOfRun;
    Stream& s = *stream_;
    s.stored.resize(static_cast<std::size_t>(s.voxelsPerVolume * s.image->nbyper));
    if (!readStored(s.file.get(), *s.image, s.stored)) {
        error = path_ + ": volume " + std::to_string(s.nextVolume + 1) + " cannot be read";
        return Next::Failed;
    }
    volume.resize(static_cast<std::size_t>(s.voxelsPerVolume));
    convertVolume(s.image->datatype, s.stored.data(), s.voxelsPerVolume, s.convert, volume.data());
    ++s.nextVolume;
    return Next::Volume;
}

int64_t NiftiSeriesSource::changedValues() const { return stream_ ? stream_->convert.changed() : 0; }

namespace {
// Reads the one volume of `h` from `file` in blocks of at most 64 Ki values,
// converting as it goes: what is held grows with the data the stream really
// has, never with what the header promises.
bool readVolumeInBlocks(gzFile file, const nifti_image& h, Int16Conversion& convert, std::vector<int16_t>& voxels) {
    const int64_t total = h.nx * h.ny * h.nz;
    std::vector<char> block;
    for (int64_t done = 0; done < total;) {
        const int64_t values = std::min<int64_t>(int64_t{1} << 16, total - done);
        block.resize(static_cast<std::size_t>(values * h.nbyper));
        if (!readStored(file, h, block)) return false;
        if (voxels.capacity() < static_cast<std::size_t>(done + values))
            voxels.reserve(std::min(static_cast<std::size_t>(total), 2 * voxels.capacity() + block.size()));
        voxels.resize(static_cast<std::size_t>(done + values));
        convertVolume(h.datatype, block.data(), values, convert, voxels.data() + done);
        done += values;
    }
    return streamEndsCleanly(file);
}

bool readVolume(const std::string& path, NiftiVolume& volume, std::string& error) {
    StoredHeader stored;
    ImagePtr image = readCheckedHeader(path, false, stored, error);
    if (!image) return false;
    const nifti_image& h = *image;
    volume.repetitionTimeRecorded = describeSeries(h, stored, path, volume.info);
    volume.info.expectedVolumes = 0;
    Int16Conversion convert;
    headerScaling(h, convert);
    GzPtr file = openData(h);
    if (!file || !readVolumeInBlocks(file.get(), h, convert, volume.voxels)) {
        error = path + ": the voxel data is truncated or corrupt (expected " + std::to_string(h.nx * h.ny * h.nz) +
                " values of " + nifti_datatype_string(h.datatype) + ")";
        return false;
    }
    volume.clamped = convert.changed();
    volume.storedType = nifti_datatype_string(h.datatype);
    return true;
}
}  // namespace

bool readNiftiVolume(const std::string& path, NiftiVolume& volume, std::string& error) {
    volume = NiftiVolume{};
    try {
        return readVolume(path, volume, error);
    } catch (const std::bad_alloc&) {
        volume = NiftiVolume{};
        error = memoryRefused(path);
        return false;
    }
}

bool readNiftiSeries(const std::string& path, NiftiSeries& series, std::string& error) {
    NiftiSeriesSource source(path);
    series = NiftiSeries{};
    if (!source.open(series.info, error)) return false;
    series.repetitionTimeRecorded = source.repetitionTimeRecorded();
    series.warnings = source.warnings();
    for (std::vector<int16_t> volume; source.next(volume, error) == VolumeSource::Next::Volume;)
        series.volumes.push_back(std::move(volume));
    series.changedValues = source.changedValues();
    return error.empty();
}

}  // namespace korvanth
