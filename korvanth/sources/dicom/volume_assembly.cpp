#include "korvanth/sources/dicom/volume_assembly.h"

#include "korvanth/sources/dicom/dicom_tags.h"

#if KORVANTH_HAS_NIFTI
#include <nifti2_io.h>
#endif

#include <algorithm>
#include <cmath>

namespace korvanth {

using dicom::cross;
using dicom::dot;

void setDicomGeometry(const DicomFile& grid, const Vec3& first, const Vec3& step, SeriesInfo& info) {
    const double flip[3] = {-1.0, -1.0, 1.0};  // LPS to RAS
    ImageGeometry& g = info.geometry;
    g.voxelSizeMm[0] = grid.columnSpacing;
    g.voxelSizeMm[1] = grid.rowSpacing;
    g.voxelSizeMm[2] = std::sqrt(dot(step, step));
    for (int axis = 0; axis < 3; ++axis) info.voxelSizeMm[axis] = g.voxelSizeMm[axis];
    const double lastRow = static_cast<double>(grid.rows - 1) * grid.rowSpacing;
    for (std::size_t a = 0; a < 3; ++a) {
        g.srow[a][0] = flip[a] * grid.rowDirection[a] * grid.columnSpacing;
        g.srow[a][1] = -flip[a] * grid.columnDirection[a] * grid.rowSpacing;
        g.srow[a][2] = flip[a] * step[a];
        g.srow[a][3] = flip[a] * (first[a] + grid.columnDirection[a] * lastRow);
    }
    g.sformCode = 1;  // scanner anatomical
#if KORVANTH_HAS_NIFTI
    nifti_dmat44 m{};
    for (int row = 0; row < 3; ++row)
        for (int column = 0; column < 4; ++column) m.m[row][column] = g.srow[row][column];
    m.m[3][3] = 1.0;
    double dx = 0.0, dy = 0.0, dz = 0.0;
    nifti_dmat44_to_quatern(m, &g.quatern[0], &g.quatern[1], &g.quatern[2], &g.qoffset[0], &g.qoffset[1], &g.qoffset[2],
                            &dx, &dy, &dz, &g.qfac);
    g.qformCode = 1;
#else
    g.qformCode = 0;  // the sform alone carries the geometry
#endif
}

namespace {

// Slices of different volumes closer than this along the slice direction
// are at the same place (positions are written to a few decimals).
constexpr double samePlaceMm = 0.01;

bool near(const Vec3& a, const Vec3& b, double tolerance) {
    for (std::size_t i = 0; i < 3; ++i)
        if (std::fabs(a[i] - b[i]) > tolerance) return false;
    return true;
}

Vec3 sliceDirection(const DicomFile& file) {
    const Vec3& d = file.sliceDirection;
    return d[0] != 0.0 || d[1] != 0.0 || d[2] != 0.0 ? d : cross(file.rowDirection, file.columnDirection);
}

// Brings `values`, stored with scaling (slope, intercept), to the run's
// scaling; the values that change are counted.
int64_t rescale(std::vector<int16_t>& values, double slope, double intercept, const DicomFile& run) {
    int64_t changed = 0;
    for (int16_t& v : values) {
        const double real = v * slope + intercept;
        const double stored = std::round((real - run.intercept) / run.slope);
        const auto kept = static_cast<int16_t>(std::clamp(stored, -32768.0, 32767.0));
        changed += static_cast<double>(kept) != (real - run.intercept) / run.slope ? 1 : 0;
        v = kept;
    }
    return changed;
}

// The distinct places along `d` of the slices of `volumes`, in order.
std::vector<double> placesAlong(const std::map<int64_t, VolumeAssembly::Pending>& volumes, const Vec3& d) {
    std::vector<double> along;
    for (const auto& [key, pending] : volumes)
        for (const DicomSlice& slice : pending.slices) along.push_back(dot(slice.position, d));
    std::sort(along.begin(), along.end());
    along.erase(std::unique(along.begin(), along.end(), [](double a, double b) { return b - a < samePlaceMm; }),
                along.end());
    return along;
}

// Whether the places lie evenly: none missing between the first and the
// last (two or fewer cannot tell).
bool evenlySpaced(const std::vector<double>& along) {
    double shortest = 0.0, longest = 0.0;
    for (std::size_t i = 1; i < along.size(); ++i) {
        const double step = along[i] - along[i - 1];
        shortest = i == 1 ? step : std::min(shortest, step);
        longest = std::max(longest, step);
    }
    return longest <= 1.5 * shortest;
}

}  // namespace

bool VolumeAssembly::ofTheRun(const DicomFile& file, std::string& why) const {
    const bool sameGrid = file.columns == run_.columns && file.rows == run_.rows &&
                          near(file.rowDirection, run_.rowDirection, 1e-4) &&
                          near(file.columnDirection, run_.columnDirection, 1e-4) &&
                          std::fabs(file.columnSpacing - run_.columnSpacing) < 1e-4 &&
                          std::fabs(file.rowSpacing - run_.rowSpacing) < 1e-4;
    const bool sameUid = file.seriesUid == run_.seriesUid;
    // Siemens XA interoperability: a series a volume.
    const bool nextOfTheRun = !run_.seriesDescription.empty() && file.seriesDescription == run_.seriesDescription &&
                              file.protocolName == run_.protocolName && file.seriesNumber >= 0 &&
                              file.seriesNumber >= lowestSeriesNumber_ - 1 &&
                              file.seriesNumber <= lastSeriesNumber_ + 1;
    if (!sameUid && !(nextOfTheRun && sameGrid)) {
        why = file.path + ": another series (" + std::to_string(file.seriesNumber) + " \"" + file.seriesDescription +
              "\"), the run's is " + std::to_string(lastSeriesNumber_) + " \"" + run_.seriesDescription + "\"";
        return false;
    }
    if (!sameGrid) {
        why = file.path + ": of the run's series, but on another grid (" + std::to_string(file.columns) + "x" +
              std::to_string(file.rows) + " slices, or another orientation or pixel spacing)";
        return false;
    }
    return true;
}

int64_t VolumeAssembly::keyOf(const DicomFile& file, const DicomSlice& slice) {
    if (slice.temporalPosition >= 0) return slice.temporalPosition;
    if (file.wholeVolumes)
        return file.instanceNumber >= 0      ? file.instanceNumber
               : file.acquisitionNumber >= 0 ? file.acquisitionNumber
                                             : arrivals_;
    const int64_t n = slicesPerVolume_;
    const int64_t first = run_.acquisitionNumber >= 0 ? run_.acquisitionNumber : 1;
    // A file of the run's acquisition beyond its first n instances: the
    // series is one acquisition.
    if (n > 0 && file.instanceNumber > n && file.acquisitionNumber == run_.acquisitionNumber) oneAcquisition_ = true;
    if (oneAcquisition_ && file.instanceNumber >= 1 && file.acquisitionNumber == run_.acquisitionNumber)
        return first + (file.instanceNumber - 1) / n;
    return file.acquisitionNumber >= 0 ? file.acquisitionNumber : 1;
}

// The slices taken under the run's acquisition number before the series was
// known to be one acquisition go to the volumes their instance numbers say.
void VolumeAssembly::regroup() {
    const auto at = pending_.find(run_.acquisitionNumber >= 0 ? run_.acquisitionNumber : 1);
    if (at == pending_.end()) return;
    Pending taken = std::move(at->second);
    pending_.erase(at);
    changed_ += taken.changed;
    const int64_t first = run_.acquisitionNumber >= 0 ? run_.acquisitionNumber : 1;
    for (std::size_t i = 0; i < taken.slices.size(); ++i) {
        const int64_t instance = taken.instances[i];
        Pending& to = pending_[instance >= 1 ? first + (instance - 1) / slicesPerVolume_ : first];
        to.slices.push_back(std::move(taken.slices[i]));
        to.files.push_back(std::move(taken.files[i]));
        to.instances.push_back(instance);
    }
}

bool VolumeAssembly::add(DicomFile file, std::string& why) {
    if (file.slices.empty() || file.columns < 1 || file.rows < 1) {
        why = file.path + ": holds no slice";
        return false;
    }
    if (!started_) {
        started_ = true;
        run_ = file;
        run_.slices.clear();
        slicesPerVolume_ = file.slicesPerVolume;
    } else if (!ofTheRun(file, why)) {
        return false;
    }
    lastSeriesNumber_ = std::max(lastSeriesNumber_, file.seriesNumber);
    lowestSeriesNumber_ =
        lowestSeriesNumber_ < 0 ? file.seriesNumber : std::min(lowestSeriesNumber_, file.seriesNumber);
    const bool scaled = file.slope != run_.slope || file.intercept != run_.intercept;
    changed_ += file.changedValues;
    ++arrivals_;
    for (DicomSlice& slice : file.slices) {
        // The slice of `pending` at this slice's position, or -1.
        const auto repeated = [&](const Pending& pending) {
            for (std::size_t i = 0; i < pending.slices.size(); ++i)
                if (near(pending.slices[i].position, slice.position, 1e-3)) return static_cast<std::ptrdiff_t>(i);
            return std::ptrdiff_t{-1};
        };
        if (!learntPlaces_.empty() && !atLearntPlace(slice)) {
            why = file.path + ": a slice where the run's first volume has none (its " +
                  std::to_string(slicesPerVolume_) + " slices are the count the run's volumes were made with)";
            return false;
        }
        Pending* p = &pending_[keyOf(file, slice)];
        std::ptrdiff_t same = repeated(*p);
        // Unrecorded, the slice count is told by a slice that repeats a
        // position under the same acquisition number (a series of one
        // acquisition, instance numbers running on): the distance between
        // the two instance numbers, whatever order the files came in.
        if (slicesPerVolume_ == 0 && !file.wholeVolumes && slice.temporalPosition < 0 && same >= 0 &&
            file.instanceNumber >= 1 && p->instances[static_cast<std::size_t>(same)] >= 1 &&
            file.instanceNumber != p->instances[static_cast<std::size_t>(same)]) {
            slicesPerVolume_ =
                static_cast<int32_t>(std::abs(file.instanceNumber - p->instances[static_cast<std::size_t>(same)]));
            oneAcquisition_ = true;
            regroup();
            p = &pending_[keyOf(file, slice)];
            same = repeated(*p);
        }
        if (same >= 0) continue;  // a file seen before, or a slice written twice
        if (scaled) p->changed += rescale(slice.pixels, file.slope, file.intercept, run_);
        p->slices.push_back(std::move(slice));
        p->files.push_back(file.path);
        p->instances.push_back(file.instanceNumber);
    }
    return true;
}

bool VolumeAssembly::atLearntPlace(const DicomSlice& slice) const {
    const double along = dot(slice.position, sliceDirection(run_));
    return std::any_of(learntPlaces_.begin(), learntPlaces_.end(),
                       [&](double place) { return std::fabs(place - along) < samePlaceMm; });
}

AssembledVolume VolumeAssembly::build(int64_t key, Pending& pending) const {
    const Vec3 d = sliceDirection(run_);
    std::stable_sort(pending.slices.begin(), pending.slices.end(),
                     [&](const DicomSlice& a, const DicomSlice& b) { return dot(a.position, d) < dot(b.position, d); });
    AssembledVolume v;
    v.key = key;
    for (const DicomSlice& slice : pending.slices)
        if (slice.acquisitionSeconds >= 0.0 &&
            (v.acquisitionSeconds < 0.0 || slice.acquisitionSeconds < v.acquisitionSeconds))
            v.acquisitionSeconds = slice.acquisitionSeconds;
    for (std::string& file : pending.files)
        if (v.files.empty() || v.files.back() != file) v.files.push_back(std::move(file));
    v.seriesUid = run_.seriesUid;
    v.seriesNumber = run_.seriesNumber;
    v.echoNumber = run_.echoNumber;
    v.seriesDescription = run_.seriesDescription;
    v.otherKind = run_.otherKind;
    v.slope = run_.slope;
    v.intercept = run_.intercept;
    v.changedValues = pending.changed;
    const auto n = static_cast<int32_t>(pending.slices.size());
    SeriesInfo& info = v.info;
    info.dims[0] = run_.columns;
    info.dims[1] = run_.rows;
    info.dims[2] = n;
    info.title = v.files.empty() ? run_.path : v.files.back();
    const Vec3& first = pending.slices.front().position;
    const Vec3& last = pending.slices.back().position;
    const double spacing = run_.sliceSpacing > 0.0 ? run_.sliceSpacing : 1.0;
    Vec3 step{d[0] * spacing, d[1] * spacing, d[2] * spacing};
    if (n > 1)
        for (std::size_t a = 0; a < 3; ++a) step[a] = (last[a] - first[a]) / (n - 1);
    setDicomGeometry(run_, first, step, info);
    info.valueSlope = run_.slope;
    info.valueIntercept = run_.intercept;
    v.repetitionTimeRecorded = run_.repetitionTimeMs > 0.0;
    info.repetitionTimeSeconds = v.repetitionTimeRecorded ? run_.repetitionTimeMs / 1000.0 : 2.0;
    const std::size_t columns = static_cast<std::size_t>(run_.columns), rows = static_cast<std::size_t>(run_.rows);
    v.voxels.resize(columns * rows * static_cast<std::size_t>(n));
    for (std::size_t k = 0; k < pending.slices.size(); ++k)
        for (std::size_t r = 0; r < rows; ++r) {
            const int16_t* from = pending.slices[k].pixels.data() + r * columns;
            std::copy(from, from + columns, v.voxels.data() + (k * rows + rows - 1 - r) * columns);
        }
    return v;
}

std::vector<AssembledVolume> VolumeAssembly::takeComplete(bool allArrived) {
    std::vector<AssembledVolume> done;
    if (pending_.empty()) return done;
    // Unrecorded, the first volume's slice count is known once a later
    // volume has begun (or the series has arrived).
    // Files may come out of order: the first volume must hold every place a
    // slice of any volume has, evenly spaced, or the count waits for the
    // slice written late rather than cut every volume to fit.
    if (slicesPerVolume_ == 0 && (pending_.size() > 1 || allArrived)) {
        const std::vector<double> places = placesAlong(pending_, sliceDirection(run_));
        const std::size_t first = pending_.begin()->second.slices.size();
        // Two places tell no gap: a later volume must have as many slices.
        const bool agreed =
            places.size() > 2 || std::any_of(std::next(pending_.begin()), pending_.end(),
                                             [&](const auto& p) { return p.second.slices.size() >= first; });
        if (allArrived || (first == places.size() && evenlySpaced(places) && agreed)) {
            slicesPerVolume_ = static_cast<int32_t>(first);
            learntPlaces_ = places;
        }
    }
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (slicesPerVolume_ == 0 || static_cast<int32_t>(it->second.slices.size()) < slicesPerVolume_) {
            ++it;
            continue;
        }
        done.push_back(build(it->first, it->second));
        it = pending_.erase(it);
    }
    if (!done.empty()) {
        done.front().changedValues += changed_;
        changed_ = 0;
    }
    return done;
}

std::vector<int64_t> VolumeAssembly::incompleteKeys() const {
    std::vector<int64_t> keys;
    for (const auto& [key, p] : pending_) keys.push_back(key);
    return keys;
}

std::vector<std::string> VolumeAssembly::incompleteVolumes() const {
    std::vector<std::string> said;
    for (const auto& [key, p] : pending_)
        said.push_back("volume " + std::to_string(key) + " came with " + std::to_string(p.slices.size()) + " of its " +
                       (slicesPerVolume_ > 0 ? std::to_string(slicesPerVolume_) : std::string("?")) + " slices");
    return said;
}

}  // namespace korvanth
