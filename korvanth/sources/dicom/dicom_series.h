// A recorded series as DICOM: a folder of DICOM files (any layout, files
// recognised by their content, in any order) or one enhanced file holding
// the series, replayed like a NIfTI series through the volume assembly.
#pragma once

#include "korvanth/run/volume_source.h"
#include "korvanth/sources/dicom/volume_assembly.h"

#include <string>
#include <vector>

namespace korvanth {

class DicomSeriesSource final : public VolumeSource {
public:
    explicit DicomSeriesSource(std::string path);

    // Reads every file (each in a child process) and assembles the volumes;
    // files that are not DICOM, not images, damaged or of another series are
    // skipped, each with its reason in warnings(). Fails when no volume comes
    // of it, or when volumes are missing from the middle of the series.
    bool open(SeriesInfo& series, std::string& error) override;
    Next next(std::vector<int16_t>& volume, std::string& error) override;
    int64_t changedValues() const override { return changedValues_; }

    const std::vector<std::string>& warnings() const { return warnings_; }
    bool repetitionTimeRecorded() const { return repetitionTimeRecorded_; }
    // The run's value scaling (valueRule), for bold.nii.gz.
    double slope() const { return slope_; }
    double intercept() const { return intercept_; }

private:
    std::string path_;
    std::vector<AssembledVolume> volumes_;
    std::size_t next_ = 0;
    int64_t changedValues_ = 0;  // of the volumes handed over
    std::vector<std::string> warnings_;
    bool repetitionTimeRecorded_ = false;
    double slope_ = 1.0, intercept_ = 0.0;
};

// Whether `path` is DICOM a replay can take: a DICOM file, or a folder.
bool isDicomInput(const std::string& path);

}  // namespace korvanth
