// The files a folder receives (a live run's), turned into volumes by one
// reader per format. Which reader takes a file is told by the file's
// content, never by its name; a reader may need several files for a volume
// (slices) or find several volumes in one file.
#pragma once

#include "korvanth/run/series.h"

#include <cstdint>
#include <string>
#include <vector>

namespace korvanth {

// One volume as read, with what orders it in its series.
struct VolumeFile {
    SeriesInfo info;
    std::vector<int16_t> voxels;
    std::string studyUid, seriesUid;  // DICOM study and series instance UIDs; empty for NIfTI
    int64_t seriesNumber = -1;
    std::string seriesDescription;
    std::string otherKind;    // why the image is not of a functional run (DICOM); empty otherwise
    bool besideRun = false;   // of a series that goes beside a run (otherKind says which): it never ends one
    int32_t echoNumber = -1;  // DICOM echo number; -1: not told
    int64_t instanceNumber = -1;
    int64_t acquisitionNumber = -1;
    // When the scanner acquired it (its earliest slice), seconds on the
    // scanner's clock; negative: not recorded (NIfTI).
    double acquisitionSeconds = -1.0;
    bool repetitionTimeRecorded = false;
    int64_t clamped = 0;      // values changed to fit 16 bits (VolumeSource::changedValues)
    std::string storedType;   // how the file stores its values (NIfTI: INT16, FLOAT32, ...); empty: not told
    bool notAVolume = false;  // set when the read failed: no image in the file, or a file of no known format
    // The files the volume was joined from, where a reader joins files into
    // volumes; empty: the volume is the file read.
    std::vector<std::string> files;
};

class VolumeFileReader {
public:
    virtual ~VolumeFileReader() = default;

    // Whether `path` holds this reader's format, by its content.
    virtual bool recognises(const std::string& path) const = 0;

    // Whether the files due at one look at the folder are read together
    // (readTogether, before any of them is taken) rather than one by one.
    virtual bool readsTogether() const { return false; }
    virtual void readTogether(const std::vector<std::string>& paths) { (void)paths; }

    // Reads `path` (or gives what readTogether made of it): true when it
    // read in full, else false with `error` naming the file and the cause
    // (`file.notAVolume` set when it holds no image at all). What `file`
    // then holds is take()'s to turn into volumes; a refused file's series
    // UID is set already.
    virtual bool read(const std::string& path, VolumeFile& file, std::string& error) = 0;

    // Takes the file read in full (and unchanged since): the volumes it
    // completes, in order, join `volumes` (none while a volume's other files
    // are to come). False with `why` (naming the file) when it is refused:
    // not of the run's series or grid, or holding no volume's part.
    virtual bool take(const std::string& path, VolumeFile&& file, std::vector<VolumeFile>& volumes,
                      std::string& why) = 0;

    // Whether the files of a series are alike in size (a few bytes of text
    // apart), so that a file well short of the series' size is still being
    // written even when it looks unchanged.
    virtual bool filesAlikeInSize() const { return false; }

    // Another series began while the run of series `seriesUid` is open: its
    // last volume, when it has all its slices, joins `volumes`. True when
    // nothing of that series is underway any more (the run may end).
    virtual bool finishSeries(const std::string& seriesUid, std::vector<VolumeFile>& volumes) {
        (void)seriesUid;
        (void)volumes;
        return true;
    }

    // The lowest volume number of series `seriesUid` whose files are still
    // coming (some read, the volume not complete); -1 when none is.
    virtual int64_t firstIncompleteVolume(const std::string& seriesUid) const {
        (void)seriesUid;
        return -1;
    }

    // What is missing of the volumes of series `seriesUid` begun and not
    // complete, joined ("volume 3 came with 31 of its 32 slices"); empty
    // when none is.
    virtual std::string incompleteVolumes(const std::string& seriesUid) const {
        (void)seriesUid;
        return {};
    }

    // The run of series `seriesUid` is over: no file of another series
    // joins it any more (files of the series itself still go to it).
    virtual void seriesEnded(const std::string& seriesUid) { (void)seriesUid; }
};

}  // namespace korvanth
