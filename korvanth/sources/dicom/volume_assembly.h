// Volumes assembled from the slices of DICOM files, whatever the layout:
// a file per volume (mosaic, multi-frame), a file per slice (GE, Philips,
// Canon classic, Siemens XA interoperability), a whole series in one file.
//
// The first file fixes the run: its series, and its grid (slice size,
// orientation, pixel spacing). A file of another series, or of the same
// series on another grid, is refused with the reason. Siemens XA
// interoperability exports give each volume a series of its own: files with
// the run's description and protocol name, on its grid, whose series number
// is among or next to the run's so far, belong to the run.
//
// Slices go to volumes by the volume key: the slice's temporal position
// (recorded, or within a multi-frame file the k-th frame at a position is
// in volume k); else, for a file that is a volume, its instance number (or
// acquisition number, or the order of arrival); else the acquisition
// number, or, in a series of one acquisition (GE, Canon: a file of the
// run's acquisition number beyond its first slicesPerVolume instances, or
// repeating a position of the first volume), the instance number's block of
// slicesPerVolume counted on from that acquisition number, so that the
// first volume keeps its key. The number of slices in a volume is recorded
// (mosaic count, frames, images in acquisition, GE's locations in
// acquisition) or that of the run's first volume, complete when a slice of a
// later volume came or repeated one of its positions, and it holds every
// place a slice of any volume has, evenly spaced. A slice where the first
// volume has none is refused then, never cut to fit.
//
// A volume's slices are sorted along the slice direction (a mosaic's stored
// normal, else cross(row, column)); its geometry comes from the positions of
// its first and last slices, stored as dcm2niix stores it (NIfTI's RAS
// world, the image rows reversed).
#pragma once

#include "korvanth/run/series.h"
#include "korvanth/sources/dicom/dicom_file.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace korvanth {

struct AssembledVolume {
    SeriesInfo info;  // grid, geometry, TR (title: the last file)
    std::vector<int16_t> voxels;
    int64_t key = 0;  // consecutive from volume to volume when none is missing
    bool repetitionTimeRecorded = false;
    double slope = 1.0, intercept = 0.0;  // the run's scaling (valueRule)
    int64_t changedValues = 0;            // values changed by valueRule
    std::string seriesUid;                // the run's (its first file's)
    int32_t seriesNumber = -1;            // the run's first file's
    int32_t echoNumber = -1;              // the run's first file's; -1: not told
    std::string seriesDescription;
    std::string otherKind;             // the run's first file's (DicomFile::otherKind)
    std::vector<std::string> files;    // its slices' files
    double acquisitionSeconds = -1.0;  // its earliest slice's (DicomSlice); negative: not recorded
};

class VolumeAssembly {
public:
    // Takes the slices of `file`; false with `why` (naming the file) when
    // it is not of the run or holds no slice.
    bool add(DicomFile file, std::string& why);
    // Whether add() would take `file` as of the run (`why` when not).
    bool accepts(const DicomFile& file, std::string& why) const { return !started_ || ofTheRun(file, why); }

    // The volumes complete so far, in key order, moved out. With
    // `allArrived` the last volume counts as complete when it has as many
    // slices as the first (the files of a finished series).
    std::vector<AssembledVolume> takeComplete(bool allArrived = false);

    // The keys of volumes begun and not complete, and how many slices wait.
    std::vector<int64_t> incompleteKeys() const;
    // Each of those as "volume K came with X of its N slices" (N "?" while
    // the count is not known).
    std::vector<std::string> incompleteVolumes() const;
    bool started() const { return started_; }
    int32_t slicesPerVolume() const { return slicesPerVolume_; }

    // A volume begun: its slices so far.
    struct Pending {
        std::vector<DicomSlice> slices;
        std::vector<std::string> files;  // each slice's file
        std::vector<int64_t> instances;  // each slice's file's instance number
        int64_t changed = 0;
    };

private:
    bool ofTheRun(const DicomFile& file, std::string& why) const;
    bool atLearntPlace(const DicomSlice& slice) const;
    int64_t keyOf(const DicomFile& file, const DicomSlice& slice);
    void regroup();
    AssembledVolume build(int64_t key, Pending& pending) const;

    bool started_ = false;
    DicomFile run_;                                            // the first file's values, without its slices
    int32_t lowestSeriesNumber_ = -1, lastSeriesNumber_ = -1;  // of the run's files so far
    int32_t slicesPerVolume_ = 0;                              // 0: not known yet
    int64_t arrivals_ = 0;         // files taken: the number of a volume file that records none
    int64_t changed_ = 0;          // values changed, not yet given with a volume
    bool oneAcquisition_ = false;  // the whole series has the first file's acquisition number
    std::map<int64_t, Pending> pending_;
    std::vector<double> learntPlaces_;  // along the slice direction, where the count was learnt
};

// Sets `info`'s voxel size and geometry for slices placed at `first`, with
// the step `step` (mm, patient coordinates) from slice to slice, stored with
// the rows reversed in NIfTI's RAS world: what dcm2niix writes.
void setDicomGeometry(const DicomFile& grid, const Vec3& first, const Vec3& step, SeriesInfo& info);

}  // namespace korvanth
