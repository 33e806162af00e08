#include "korvanth/sources/dicom/dicom_file.h"

#include "korvanth/sources/dicom/dicom_layouts.h"
#include "korvanth/sources/dicom/dicom_tags.h"
#include "korvanth/sources/input_file.h"

#include <gdcmImageReader.h>
#include <gdcmReader.h>
#include <gdcmTrace.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <set>

namespace korvanth {

const char* const valueRule =
    "stored integers are kept as they are, their rescale slope and intercept beside them (not applied); "
    "stored values beyond int16 are clamped to [-32768, 32767] and counted";

bool looksLikeDicom(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    char head[132] = {};
    return in.read(head, sizeof head) && std::memcmp(head + 128, "DICM", 4) == 0;
}

namespace {

using namespace dicom;

void quietLibrary() {
    // GDCM's warnings about files it reads anyway would go to standard error
    // in the middle of the run; the reader's own errors say what matters.
    static const bool quiet = [] {
        gdcm::Trace::WarningOff();
        gdcm::Trace::ErrorOff();
        gdcm::Trace::DebugOff();
        return true;
    }();
    (void)quiet;
}

// The element header of the pixel data at `offset` of the file: its declared
// length (0xffffffff: encapsulated, undefined). Read here so that the length
// is checked against the file before the library allocates it.
bool pixelDataLength(const std::string& path, std::size_t offset, const gdcm::TransferSyntax& syntax,
                     uint32_t& length) {
    std::ifstream in(path, std::ios::binary);
    unsigned char h[12] = {};
    if (!in.seekg(static_cast<std::streamoff>(offset)) ||
        !in.read(reinterpret_cast<char*>(h), syntax.IsExplicit() ? 12 : 8))
        return false;
    const bool big = syntax.GetSwapCode() == gdcm::SwapCode::BigEndian;
    const unsigned char tag[4] = {0xe0, 0x7f, 0x10, 0x00}, bigTag[4] = {0x7f, 0xe0, 0x00, 0x10};  // (7fe0,0010)
    if (std::memcmp(h, big ? bigTag : tag, 4) != 0) return false;
    const unsigned char* l = syntax.IsExplicit() ? h + 8 : h + 4;
    length = 0;
    for (int i = 0; i < 4; ++i) length |= static_cast<uint32_t>(l[big ? 3 - i : i]) << (8 * i);
    return true;
}

// Checks, before the pixel data is read, that the header describes an image
// this reader takes and that its sizes fit in the file: the library asserts
// on some malformed headers and allocates whatever a length field says.
// The file's series UID is set even when it is refused.
bool checkHeader(const std::string& path, uintmax_t fileSize, DicomFile& file, std::string& why) {
    gdcm::Reader reader;
    reader.SetFileName(path.c_str());
    // The pixel data's value is skipped: the reader stops after its header.
    if (!reader.ReadUpToTag(tags::pixelData, {tags::pixelData})) {
        why = "not a readable DICOM file (its header does not parse)";
        return false;
    }
    const gdcm::DataSet& ds = reader.GetFile().GetDataSet();
    const int64_t rows = integerOr(ds, tags::rows, 0), columns = integerOr(ds, tags::columns, 0);
    const int64_t bits = integerOr(ds, tags::bitsAllocated, 0), samples = integerOr(ds, tags::samplesPerPixel, 1);
    const int64_t frames = integerOr(ds, tags::frames, 1);
    file.notAnImage = !ds.FindDataElement(tags::pixelData) && !ds.FindDataElement(tags::rows);
    file.seriesUid = text(ds, tags::seriesUid);
    if (rows < 1 || columns < 1 || rows > 65535 || columns > 65535) {
        why = "no image in it (rows " + std::to_string(rows) + ", columns " + std::to_string(columns) + ")";
        return false;
    }
    if (bits != 8 && bits != 16 && bits != 32) {
        why = "BitsAllocated " + std::to_string(bits) + " (this reader takes 8, 16 or 32)";
        return false;
    }
    if (samples != 1) {
        why = "a colour image (" + std::to_string(samples) + " samples a pixel), not a functional volume";
        return false;
    }
    if (frames < 1 || frames > 100000) {
        why = "NumberOfFrames " + std::to_string(frames);
        return false;
    }
    const uint64_t imageBytes = static_cast<uint64_t>(rows) * static_cast<uint64_t>(columns) *
                                static_cast<uint64_t>(frames) * static_cast<uint64_t>(bits / 8);
    const gdcm::TransferSyntax& syntax = reader.GetFile().GetHeader().GetDataSetTransferSyntax();
    if (syntax.IsEncoded()) return imageBytes <= (uint64_t{1} << 31);  // lengths are of the inflated stream
    const std::size_t headerBytes = syntax.IsExplicit() ? 12 : 8;
    const std::size_t end = reader.GetStreamCurrentPosition();
    const std::size_t offset = end >= headerBytes ? end - headerBytes : 0;
    uint32_t length = 0;
    if (!pixelDataLength(path, offset, syntax, length)) {
        // The header parsed to where the reader stopped and no pixel data is
        // there: an object that carries no image (spectroscopy, raw data),
        // not a volume to wait for. (A copy cut short mostly ends inside an
        // element, and its header does not parse.)
        file.notAnImage = true;
        why = "no pixel data";
        return false;
    }
    const uint64_t available = fileSize > end ? fileSize - end : 0;
    if (length == 0xffffffffu) return true;  // encapsulated: fragments, each checked by the library against the file
    if (length > available) {
        why = "pixel data of " + std::to_string(length) + " bytes declared, " + std::to_string(available) +
              " in the file (cut short or corrupt)";
        return false;
    }
    if (!syntax.IsEncapsulated() && length < imageBytes) {
        why = "pixel data of " + std::to_string(length) + " bytes for an image of " + std::to_string(imageBytes);
        return false;
    }
    return true;
}

template <typename T>
int64_t convert(const char* stored, std::size_t count, int16_t* out) {
    int64_t changed = 0;
    for (std::size_t i = 0; i < count; ++i) {
        T value;
        std::memcpy(&value, stored + i * sizeof(T), sizeof(T));
        const auto wide = static_cast<int64_t>(value);
        const int64_t kept = std::clamp<int64_t>(wide, -32768, 32767);
        changed += kept != wide ? 1 : 0;
        out[i] = static_cast<int16_t>(kept);
    }
    return changed;
}

bool decode(const gdcm::Image& image, Pixels& pixels, int64_t& changed, std::string& why) {
    pixels.columns = static_cast<int32_t>(image.GetDimension(0));
    pixels.rows = static_cast<int32_t>(image.GetDimension(1));
    pixels.frames = static_cast<int32_t>(image.GetNumberOfDimensions() > 2 ? image.GetDimension(2) : 1);
    const gdcm::PixelFormat& format = image.GetPixelFormat();
    const std::size_t count = static_cast<std::size_t>(pixels.columns) * static_cast<std::size_t>(pixels.rows) *
                              static_cast<std::size_t>(pixels.frames);
    if (count == 0 || image.GetBufferLength() != count * format.GetPixelSize()) {
        why = "the pixel data does not match the image's size and type";
        return false;
    }
    std::vector<char> stored(image.GetBufferLength());
    if (!image.GetBuffer(stored.data())) {
        why = "the pixel data cannot be decoded (transfer syntax " +
              std::string(gdcm::TransferSyntax::GetTSString(image.GetTransferSyntax())) + ")";
        return false;
    }
    pixels.values.resize(count);
    int16_t* out = pixels.values.data();
    switch (format.GetScalarType()) {
        case gdcm::PixelFormat::UINT8:
            changed = convert<uint8_t>(stored.data(), count, out);
            break;
        case gdcm::PixelFormat::INT8:
            changed = convert<int8_t>(stored.data(), count, out);
            break;
        case gdcm::PixelFormat::UINT16:
            changed = convert<uint16_t>(stored.data(), count, out);
            break;
        case gdcm::PixelFormat::INT16:
            changed = convert<int16_t>(stored.data(), count, out);
            break;
        case gdcm::PixelFormat::UINT32:
            changed = convert<uint32_t>(stored.data(), count, out);
            break;
        case gdcm::PixelFormat::INT32:
            changed = convert<int32_t>(stored.data(), count, out);
            break;
        default:
            why = "pixel type " + std::string(format.GetScalarTypeAsString()) + " is not supported";
            return false;
    }
    return true;
}

// Why an image of this image type (0008,0008) and acquisition contrast
// (0008,9209) is not of a functional run, or empty: a localiser, or a
// diffusion series and its derived maps.
std::string otherKindOf(const std::string& imageType, const std::string& contrast) {
    if (contrast == "DIFFUSION") return "a diffusion series (acquisition contrast DIFFUSION)";
    std::string token;
    for (std::size_t at = 0; at <= imageType.size(); ++at) {
        if (at < imageType.size() && imageType[at] != '\\') {
            token += imageType[at];
            continue;
        }
        for (const char* kind : {"LOCALIZER", "DIFFUSION", "ADC", "TRACEW", "FA"})
            if (token == kind) return "image type " + imageType + " (" + token + ")";
        token.clear();
    }
    return {};
}

// What images of this image type, description and echo are beside a run,
// or empty: phase images, a motion-corrected copy (the scanner's MOCO
// series), an echo after the first of a multi-echo series.
std::string companionKindOf(const std::string& imageType, const std::string& description, int64_t echo) {
    std::vector<std::string> tokens(1);
    for (const char c : imageType) {
        if (c == '\\')
            tokens.emplace_back();
        else
            tokens.back().push_back(c);
    }
    const auto has = [&](const char* token) { return std::find(tokens.begin(), tokens.end(), token) != tokens.end(); };
    if (has("P") || has("PHASE")) return "phase images (image type " + imageType + ")";
    if (has("MOCO") || description.find("MoCo") != std::string::npos)
        return "a motion-corrected copy (image type " + imageType + ", \"" + description + "\")";
    if (echo > 1) return "echo " + std::to_string(echo) + " of a multi-echo series";
    return {};
}

// The values every layout shares: series, grid, timing, scaling.
bool readCommon(const gdcm::DataSet& ds, DicomFile& file, std::string& why) {
    file.studyUid = text(ds, tags::studyUid);
    file.seriesUid = text(ds, tags::seriesUid);
    file.seriesDescription = text(ds, tags::seriesDescription);
    file.protocolName = text(ds, tags::protocolName);
    file.otherKind = otherKindOf(text(ds, tags::imageType), text(ds, gdcm::Tag(0x0008, 0x9209)));
    file.seriesNumber = static_cast<int32_t>(integerOr(ds, tags::seriesNumber, -1));
    file.echoNumber = static_cast<int32_t>(integerOr(ds, tags::echoNumber, -1));
    file.companionKind = companionKindOf(text(ds, tags::imageType), file.seriesDescription, file.echoNumber);
    const std::vector<gdcm::DataSet> shared = items(ds, tags::sharedGroups);
    const std::vector<gdcm::DataSet> perFrame = items(ds, tags::perFrameGroups);
    // A value of the data set, else of the shared functional groups, else of the first frame's.
    auto value = [&](const gdcm::Tag& group, const gdcm::Tag& tag, std::size_t count) {
        std::vector<double> v = numbers(ds, tag);
        if (v.size() != count && !shared.empty()) v = inGroup(shared.front(), group, tag);
        if (v.size() != count && !perFrame.empty()) v = inGroup(perFrame.front(), group, tag);
        return v;
    };
    const std::vector<double> orientation = value(tags::planeOrientation, tags::orientation, 6);
    const std::vector<double> spacing = value(tags::pixelMeasures, tags::pixelSpacing, 2);
    if (orientation.size() != 6 || spacing.size() != 2 || !(spacing[0] > 0.0) || !(spacing[1] > 0.0)) {
        why = "no image orientation or pixel spacing: the volume cannot be placed in space";
        return false;
    }
    file.rowDirection = {orientation[0], orientation[1], orientation[2]};
    file.columnDirection = {orientation[3], orientation[4], orientation[5]};
    if (!unitVector(file.rowDirection) || !unitVector(file.columnDirection)) {
        why = "the image orientation is not two unit vectors";
        return false;
    }
    file.rowSpacing = spacing[0];
    file.columnSpacing = spacing[1];
    const std::vector<double> between = value(tags::pixelMeasures, tags::sliceSpacing, 1);
    const std::vector<double> thickness = value(tags::pixelMeasures, tags::sliceThickness, 1);
    file.sliceSpacing = between.size() == 1 && between[0] > 0.0       ? between[0]
                        : thickness.size() == 1 && thickness[0] > 0.0 ? thickness[0]
                                                                      : 0.0;
    const std::vector<double> tr = value(tags::mrTiming, tags::repetitionTime, 1);
    file.repetitionTimeMs = tr.size() == 1 && tr[0] > 0.0 ? tr[0] : 0.0;
    const std::vector<double> slope = value(tags::pixelValueTransformation, tags::rescaleSlope, 1);
    const std::vector<double> intercept = value(tags::pixelValueTransformation, tags::rescaleIntercept, 1);
    if (slope.size() == 1 && slope[0] != 0.0) file.slope = slope[0];
    if (intercept.size() == 1) file.intercept = intercept[0];
    return true;
}

// When each slice was acquired: a frame's own acquisition time where the
// file records one per frame, else the file's, which a file holding several
// volumes cannot give each of them (left unrecorded rather than made up).
void stampAcquisition(const gdcm::DataSet& ds, DicomFile& file) {
    const std::vector<gdcm::DataSet> perFrame = items(ds, tags::perFrameGroups);
    const double whole = acquisitionSecondsOf(ds);
    std::set<int64_t> volumes;
    for (const DicomSlice& slice : file.slices) volumes.insert(slice.temporalPosition);
    for (std::size_t f = 0; f < file.slices.size(); ++f) {
        double own = -1.0;
        if (perFrame.size() == file.slices.size()) {
            const std::vector<gdcm::DataSet> content = items(perFrame[f], tags::frameContent);
            if (!content.empty()) own = dateTimeSeconds(text(content.front(), tags::frameAcquisitionDateTime));
        }
        file.slices[f].acquisitionSeconds = own >= 0.0 ? own : volumes.size() <= 1 ? whole : -1.0;
    }
}

bool readLayout(const gdcm::DataSet& ds, const Pixels& pixels, DicomFile& file, std::string& why) {
    const std::string imageType = text(ds, tags::imageType);
    if (pixels.frames == 1 && imageType.find("MOSAIC") != std::string::npos)
        return readSiemensMosaic(ds, pixels, file, why);
    if (pixels.frames == 1 && imageType.find("VFRAME") != std::string::npos)
        return readUihMosaic(ds, pixels, file, why);
    if (pixels.frames > 1) return readMultiFrame(ds, pixels, file, why);
    return readClassic(ds, pixels, file, why);
}

}  // namespace

bool parseDicomFile(const std::string& path, DicomFile& file, std::string& error) {
    quietLibrary();
    file = DicomFile{};
    file.path = path;
    std::string why;
    std::error_code failed;
    const uintmax_t fileSize = std::filesystem::file_size(path, failed);
    if (failed || !looksLikeDicom(path)) {
        error = path + ": not DICOM (no \"DICM\" after a 128-byte preamble)";
        return false;
    }
    try {
        if (!checkHeader(path, fileSize, file, why)) {
            error = path + ": " + why;
            return false;
        }
        gdcm::ImageReader reader;
        reader.SetFileName(path.c_str());
        if (!reader.Read()) {
            error = path + ": not a DICOM image (no pixel data, or a header the library cannot read)";
            return false;
        }
        const gdcm::DataSet& ds = reader.GetFile().GetDataSet();
        Pixels pixels;
        if (!decode(reader.GetImage(), pixels, file.changedValues, why) || !readCommon(ds, file, why) ||
            !readLayout(ds, pixels, file, why)) {
            error = path + ": " + why;
            return false;
        }
        stampAcquisition(ds, file);
    } catch (const std::bad_alloc&) {
        error = memoryRefused(path);
        return false;
    } catch (const std::exception& e) {
        error = path + ": the DICOM library failed reading it (" + e.what() + ")";
        return false;
    }
    return true;
}

}  // namespace korvanth
