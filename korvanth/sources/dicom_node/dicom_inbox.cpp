#include "korvanth/sources/dicom_node/dicom_inbox.h"

// DCMTK stays in this file: its headers and GDCM's must never meet.
#include <dcmtk/config/osconfig.h>  // first, as DCMTK requires
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace korvanth {

const char* const dicomNodeStagingName = ".incoming";

namespace {

// A SOP Instance UID is a file name only when it is what the standard allows:
// digits and dots, at most 64 characters.
bool isUid(const std::string& uid) {
    return !uid.empty() && uid.size() <= 64 && uid.find_first_not_of("0123456789.") == std::string::npos &&
           uid.front() != '.';
}

// Flushes a file or folder to disk.
bool flushToDisk(const fs::path& path, bool folder) {
    const int handle = ::open(path.c_str(), (folder ? O_RDONLY | O_DIRECTORY : O_RDONLY) | O_CLOEXEC);
    if (handle < 0) return false;
    const bool flushed = ::fsync(handle) == 0;
    return ::close(handle) == 0 && flushed;
}

// Whether `staged` reads as a data set of `sopClass` and `sopInstance` with an image in it.
bool isImageOf(const std::string& sopClass, const std::string& sopInstance, const std::string& staged) {
    DcmFileFormat file;
    OFString readClass, readInstance;
    Uint16 rows = 0;
    DcmDataset* data = file.getDataset();
    return isUid(sopInstance) && file.loadFile(staged.c_str()).good() &&
           data->findAndGetOFString(DCM_SOPClassUID, readClass).good() &&
           data->findAndGetOFString(DCM_SOPInstanceUID, readInstance).good() && readClass == sopClass &&
           readInstance == sopInstance && data->findAndGetUint16(DCM_Rows, rows).good() && rows > 0 &&
           data->tagExistsWithValue(DCM_PixelData);
}

}  // namespace

DicomInbox::DicomInbox(std::string folder, uint64_t maxObjectBytes, std::function<void(const std::string&)> log)
    : folder_(std::move(folder)), maxObjectBytes_(maxObjectBytes), log_(std::move(log)) {}

bool DicomInbox::make(std::string& error) const {
    std::error_code failed;
    fs::create_directories(stagingFolder(), failed);
    if (failed) error = "the DICOM node's inbox " + stagingFolder() + " cannot be made: " + failed.message();
    return !failed;
}

std::string DicomInbox::stagingFolder() const { return (fs::path(folder_) / dicomNodeStagingName).string(); }

std::string DicomInbox::stagedName() {
    return (fs::path(stagingFolder()) / (std::to_string(++staged_) + ".part")).string();
}

InstanceOutcome DicomInbox::keep(const std::string& sopClass, const std::string& sopInstance,
                                 const std::string& staged) {
    std::error_code failed;
    const InstanceOutcome judged = check(sopClass, sopInstance, staged);
    if (judged != InstanceOutcome::kept) {
        fs::remove(staged, failed);
        return judged;
    }
    const fs::path kept = fs::path(folder_) / (sopInstance + ".dcm");
    const std::lock_guard<std::mutex> lock(keeping_);
    if (fs::exists(kept, failed)) {
        fs::remove(staged, failed);
        return InstanceOutcome::kept;  // the scanner sent it again: it is kept once
    }
    fs::rename(staged, kept, failed);
    if (failed || !flushToDisk(folder_, true)) {
        log(sopInstance + ": could not be put into the inbox: " + failed.message());
        fs::remove(staged, failed);
        return InstanceOutcome::outOfResources;
    }
    return InstanceOutcome::kept;
}

// Kept when the staged file is on disk, within the size bound, and an image of its class and instance.
InstanceOutcome DicomInbox::check(const std::string& sopClass, const std::string& sopInstance,
                                  const std::string& staged) {
    std::error_code failed;
    const uintmax_t bytes = fs::file_size(staged, failed);
    if (failed || bytes > maxObjectBytes_ || !flushToDisk(staged, false)) {
        log(sopInstance + ": not kept (" +
            (failed                    ? failed.message()
             : bytes > maxObjectBytes_ ? "over the size bound"
                                       : "not flushed") +
            ")");
        return InstanceOutcome::outOfResources;
    }
    if (!isImageOf(sopClass, sopInstance, staged)) {
        log(sopInstance + ": not kept (not an image of its class and instance)");
        return InstanceOutcome::cannotUnderstand;
    }
    return InstanceOutcome::kept;
}

void DicomInbox::log(const std::string& line) const {
    if (log_) log_(line);
}

}  // namespace korvanth
