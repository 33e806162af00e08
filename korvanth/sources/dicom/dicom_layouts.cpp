#include "korvanth/sources/dicom/dicom_layouts.h"

#include "korvanth/sources/dicom/dicom_tags.h"

#include <algorithm>
#include <cmath>
#include <map>

namespace korvanth::dicom {

std::vector<int16_t> Pixels::block(int32_t frame, int32_t x, int32_t y, int32_t width, int32_t height) const {
    std::vector<int16_t> out(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    const std::size_t frameStart =
        static_cast<std::size_t>(frame) * static_cast<std::size_t>(rows) * static_cast<std::size_t>(columns);
    for (int32_t r = 0; r < height; ++r) {
        const int16_t* from = values.data() + frameStart +
                              static_cast<std::size_t>(y + r) * static_cast<std::size_t>(columns) +
                              static_cast<std::size_t>(x);
        std::copy(from, from + width, out.begin() + static_cast<std::ptrdiff_t>(r) * width);
    }
    return out;
}

namespace {

Vec3 along(const Vec3& from, const Vec3& direction, double distance) {
    return {from[0] + direction[0] * distance, from[1] + direction[1] * distance, from[2] + direction[2] * distance};
}

// Cuts a mosaic of `count` tiles, ceil(sqrt(count)) a row, into slices: in
// as many rows (Siemens, `square`) or as needed (UIH). False when the image
// does not divide into equal tiles.
bool cutTiles(const Pixels& pixels, int32_t count, bool square, DicomFile& file, std::string& why) {
    const auto tilesPerRow = static_cast<int32_t>(std::ceil(std::sqrt(static_cast<double>(count)) - 1e-9));
    const int32_t tileRows = square ? tilesPerRow : (count + tilesPerRow - 1) / tilesPerRow;
    if (pixels.columns % tilesPerRow != 0 || pixels.rows % tileRows != 0) {
        why = "a " + std::to_string(pixels.columns) + "x" + std::to_string(pixels.rows) + " mosaic cannot hold " +
              std::to_string(count) + " equal tiles";
        return false;
    }
    file.columns = pixels.columns / tilesPerRow;
    file.rows = pixels.rows / tileRows;
    file.slices.resize(static_cast<std::size_t>(count));
    for (int32_t k = 0; k < count; ++k)
        file.slices[static_cast<std::size_t>(k)].pixels =
            pixels.block(0, (k % tilesPerRow) * file.columns, (k / tilesPerRow) * file.rows, file.columns, file.rows);
    file.slicesPerVolume = count;
    file.wholeVolumes = true;
    return true;
}

// Whether the protocol numbers a mosaic's images against the slice normal
// (sSliceArray.ucImageNumbSag/Cor/Tra set): head to foot, say.
bool imagesNumberedReversed(const std::string& protocol) {
    for (const char* key : {"sSliceArray.ucImageNumbSag", "sSliceArray.ucImageNumbCor", "sSliceArray.ucImageNumbTra"}) {
        const std::size_t at = protocol.find(key);
        if (at == std::string::npos) continue;
        const std::size_t equals = protocol.find('=', at);
        const std::size_t end = protocol.find('\n', at);
        if (equals == std::string::npos || equals > end) continue;
        const std::vector<double> v = numbersIn(protocol.substr(equals + 1, end - equals - 1));
        if (v.size() == 1 && v[0] != 0.0) return true;
    }
    return false;
}

}  // namespace

bool readSiemensMosaic(const gdcm::DataSet& ds, const Pixels& pixels, DicomFile& file, std::string& why) {
    const std::vector<double> count = csaNumbers(ds, "NumberOfImagesInMosaic");
    if (count.size() != 1 || count[0] < 1.0 || count[0] > 4096.0) {
        why = "a mosaic without the number of its slices (CSA NumberOfImagesInMosaic)";
        return false;
    }
    const std::vector<double> position = numbers(ds, tags::position);
    if (position.size() != 3) {
        why = "no image position: the volume cannot be placed in space";
        return false;
    }
    if (!cutTiles(pixels, static_cast<int32_t>(count[0]), true, file, why)) return false;
    // The tiles follow each other along the stored normal from the first,
    // whose position is the whole mosaic's corner moved to the tile's. The
    // volume keeps the tiles' order, reversed where the protocol numbers the
    // images against the normal (head to foot, say), as dcm2niix does.
    const std::vector<double> stored = csaNumbers(ds, "SliceNormalVector");
    Vec3 normal = cross(file.rowDirection, file.columnDirection);
    if (stored.size() == 3) {
        Vec3 n{stored[0], stored[1], stored[2]};
        if (unitVector(n)) normal = n;
    }
    file.sliceDirection = normal;
    if (imagesNumberedReversed(siemensProtocol(ds)))
        for (double& x : file.sliceDirection) x = -x;
    Vec3 first{position[0], position[1], position[2]};
    first = along(first, file.rowDirection, file.columnSpacing * (pixels.columns - file.columns) / 2.0);
    first = along(first, file.columnDirection, file.rowSpacing * (pixels.rows - file.rows) / 2.0);
    const double spacing = file.sliceSpacing > 0.0 ? file.sliceSpacing : 1.0;
    for (std::size_t k = 0; k < file.slices.size(); ++k)
        file.slices[k].position = along(first, normal, spacing * static_cast<double>(k));
    file.instanceNumber = integerOr(ds, tags::instanceNumber, -1);
    file.acquisitionNumber = integerOr(ds, tags::acquisitionNumber, -1);
    return true;
}

bool readUihMosaic(const gdcm::DataSet& ds, const Pixels& pixels, DicomFile& file, std::string& why) {
    const gdcm::Tag sliceCount(0x0065, 0x1050), slicePositions(0x0065, 0x1051);
    const std::vector<double> count = numbers(ds, sliceCount);
    const std::vector<gdcm::DataSet> placed = items(ds, slicePositions);
    if (count.size() != 1 || count[0] < 1.0 || count[0] > 4096.0 ||
        placed.size() != static_cast<std::size_t>(count[0])) {
        why = "a UIH mosaic (VFRAME) without its slice count and a position for each slice (0065,1050/1051)";
        return false;
    }
    if (!cutTiles(pixels, static_cast<int32_t>(count[0]), false, file, why)) return false;
    for (std::size_t k = 0; k < placed.size(); ++k) {
        const std::vector<double> p = numbers(placed[k], tags::position);
        if (p.size() != 3) {
            why = "a UIH mosaic without the position of slice " + std::to_string(k + 1);
            return false;
        }
        file.slices[k].position = {p[0], p[1], p[2]};
    }
    file.instanceNumber = integerOr(ds, tags::instanceNumber, -1);
    file.acquisitionNumber = integerOr(ds, tags::acquisitionNumber, -1);
    return true;
}

bool readMultiFrame(const gdcm::DataSet& ds, const Pixels& pixels, DicomFile& file, std::string& why) {
    const std::vector<gdcm::DataSet> perFrame = items(ds, tags::perFrameGroups);
    file.columns = pixels.columns;
    file.rows = pixels.rows;
    file.slices.resize(static_cast<std::size_t>(pixels.frames));
    const std::vector<double> position = numbers(ds, tags::position);
    const Vec3 normal = cross(file.rowDirection, file.columnDirection);
    bool timed = perFrame.size() == file.slices.size();
    std::map<std::array<long long, 3>, int64_t> seen;                         // occurrences of each position (to 1 µm)
    std::map<std::pair<int64_t, std::array<long long, 3>>, int64_t> timedAt;  // frames at a time and place
    std::vector<int64_t> occurrences;
    bool indexed = true;
    for (int32_t f = 0; f < pixels.frames; ++f) {
        DicomSlice& slice = file.slices[static_cast<std::size_t>(f)];
        slice.pixels = pixels.block(f, 0, 0, pixels.columns, pixels.rows);
        std::vector<double> p;
        if (perFrame.size() == file.slices.size())
            p = inGroup(perFrame[static_cast<std::size_t>(f)], tags::planePosition, tags::position);
        if (p.size() != 3 && position.size() == 3 && perFrame.empty()) {
            // One position for the file: frames stacked along the normal.
            const double spacing = file.sliceSpacing > 0.0 ? file.sliceSpacing : 1.0;
            p = {position[0] + f * spacing * normal[0], position[1] + f * spacing * normal[1],
                 position[2] + f * spacing * normal[2]};
        }
        if (p.size() != 3) {
            why = "a multi-frame image without the position of frame " + std::to_string(f + 1);
            return false;
        }
        slice.position = {p[0], p[1], p[2]};
        const std::array<long long, 3> at{std::llround(p[0] * 1000.0), std::llround(p[1] * 1000.0),
                                          std::llround(p[2] * 1000.0)};
        const int64_t occurrence = ++seen[at];
        const std::vector<gdcm::DataSet> content =
            timed ? items(perFrame[static_cast<std::size_t>(f)], tags::frameContent) : std::vector<gdcm::DataSet>{};
        const int64_t index = content.empty() ? -1 : integerOr(content.front(), tags::temporalPositionIndex, -1);
        indexed = indexed && index >= 1;
        slice.temporalPosition = index;
        occurrences.push_back(indexed ? ++timedAt[{index, at}] : occurrence);
    }
    // By the recorded temporal index, and where it repeats at a position (an
    // ASL series' label and control) the k-th of its frames there after the
    // (k-1)-th; without an index, the k-th frame at a position is in volume k.
    int64_t repeats = 1;
    for (const auto& [key, count] : timedAt) repeats = std::max(repeats, count);
    for (std::size_t f = 0; f < file.slices.size(); ++f) {
        DicomSlice& slice = file.slices[f];
        slice.temporalPosition = indexed ? (slice.temporalPosition - 1) * repeats + occurrences[f] : occurrences[f];
    }
    file.slicesPerVolume = static_cast<int32_t>(seen.size());
    file.wholeVolumes = true;
    if (seen.size() == file.slices.size())  // one volume: placed among the series' files by its numbers
        for (DicomSlice& slice : file.slices) slice.temporalPosition = -1;
    file.instanceNumber = integerOr(ds, tags::instanceNumber, -1);
    file.acquisitionNumber = integerOr(ds, tags::acquisitionNumber, -1);
    return true;
}

bool readClassic(const gdcm::DataSet& ds, const Pixels& pixels, DicomFile& file, std::string& why) {
    const std::vector<double> p = numbers(ds, tags::position);
    if (p.size() != 3) {
        why = "no image position: the slice cannot be placed in space";
        return false;
    }
    file.columns = pixels.columns;
    file.rows = pixels.rows;
    file.slices.resize(1);
    file.slices[0].position = {p[0], p[1], p[2]};
    file.slices[0].pixels = pixels.values;
    file.slices[0].temporalPosition = integerOr(ds, tags::temporalPosition, -1);
    file.instanceNumber = integerOr(ds, tags::instanceNumber, -1);
    file.acquisitionNumber = integerOr(ds, tags::acquisitionNumber, -1);
    const int64_t locations = integerOr(ds, tags::geLocationsInAcquisition, 0);
    const int64_t images = locations > 0 ? locations : integerOr(ds, tags::imagesInAcquisition, 0);
    file.slicesPerVolume = images > 1 && images < 10000 ? static_cast<int32_t>(images) : 0;
    return true;
}

}  // namespace korvanth::dicom
