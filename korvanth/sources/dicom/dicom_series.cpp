#include "korvanth/sources/dicom/dicom_series.h"

#include "korvanth/sources/dicom/dicom_file.h"
#include "korvanth/sources/file_names.h"

#include <algorithm>
#include <filesystem>

namespace fs = std::filesystem;

namespace korvanth {

bool isDicomInput(const std::string& path) {
    std::error_code failed;
    return fs::is_directory(path, failed) || looksLikeDicom(path);
}

DicomSeriesSource::DicomSeriesSource(std::string path) : path_(std::move(path)) {}

namespace {

// The regular files of `path` (a folder) in the natural order of their names, or `path` itself.
std::vector<std::string> filesOf(const std::string& path, std::string& error) {
    std::vector<std::string> files;
    std::error_code failed;
    if (!fs::is_directory(path, failed)) {
        if (!fs::is_regular_file(path, failed))
            error = path + ": no such file or folder";
        else
            files.push_back(path);
        return files;
    }
    for (fs::directory_iterator it(path, failed); !failed && it != fs::directory_iterator(); it.increment(failed))
        if (it->is_regular_file(failed)) files.push_back(it->path().string());
    if (failed) error = path + ": cannot list the folder (" + failed.message() + ")";
    std::sort(files.begin(), files.end(), [](const std::string& a, const std::string& b) {
        return naturalLess(fs::path(a).filename().string(), fs::path(b).filename().string());
    });
    return files;
}

}  // namespace

bool DicomSeriesSource::open(SeriesInfo& series, std::string& error) {
    const std::vector<std::string> files = filesOf(path_, error);
    if (!error.empty()) return false;
    VolumeAssembly assembly;
    std::size_t dicom = 0;
    for (const std::string& file : files) {
        if (!looksLikeDicom(file)) {
            warnings_.push_back("skipped " + file + ": not DICOM");
            continue;
        }
        ++dicom;
        DicomFile parsed;
        std::string why;
        if (!readDicomFile(file, parsed, why) || !assembly.add(std::move(parsed), why))
            warnings_.push_back("skipped " + why);
    }
    volumes_ = assembly.takeComplete(true);
    for (const std::string& incomplete : assembly.incompleteVolumes())
        warnings_.push_back(incomplete + " and is left out");
    if (volumes_.empty()) {
        error = path_ + ": no complete volume in " + std::to_string(dicom) + " DICOM files" +
                (warnings_.empty() ? std::string() : " (" + warnings_.front() + ")");
        return false;
    }
    for (std::size_t t = 1; t < volumes_.size(); ++t)
        if (volumes_[t].key != volumes_[t - 1].key + 1)
            warnings_.push_back("volumes " + std::to_string(volumes_[t - 1].key + 1) + " to " +
                                std::to_string(volumes_[t].key - 1) + " are missing from the series");
    int64_t changed = 0;
    for (const AssembledVolume& v : volumes_) changed += v.changedValues;
    if (changed > 0)
        warnings_.push_back(std::to_string(changed) + " stored values changed by the value rule (" + valueRule + ")");
    series = volumes_.front().info;
    series.title = path_;
    series.expectedVolumes = static_cast<int32_t>(volumes_.size());
    series.valueSlope = volumes_.front().slope;
    series.valueIntercept = volumes_.front().intercept;
    repetitionTimeRecorded_ = volumes_.front().repetitionTimeRecorded;
    slope_ = volumes_.front().slope;
    intercept_ = volumes_.front().intercept;
    return true;
}

VolumeSource::Next DicomSeriesSource::next(std::vector<int16_t>& volume, std::string& error) {
    (void)error;
    if (next_ >= volumes_.size() || runStopRequested()) return Next::EndOfRun;
    volume = std::move(volumes_[next_].voxels);
    changedValues_ += volumes_[next_].changedValues;
    ++next_;
    return Next::Volume;
}

}  // namespace korvanth
