// The DICOM node's inbox: what becomes of one instance once its data set was
// received into a staged file, apart from any network, so that the storage
// service and the fuzzer take the same path.
//
// A staged file is judged (on disk, within the size bound, a data set of the
// request's class and instance with an image in it), renamed into the inbox
// under its SOP Instance UID and the inbox flushed; an instance already there
// is kept once. Whatever the outcome, the staged file is gone afterwards.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace korvanth {

// The staging folder's name inside the inbox.
extern const char* const dicomNodeStagingName;

// What the scanner is told of an instance.
enum class InstanceOutcome {
    kept,              // in the inbox (now or before)
    cannotUnderstand,  // not an image of the request's class and instance: sending it again will not help
    outOfResources,    // not kept for now (a full disk, a failed write, over the size bound): the scanner retries
};

class DicomInbox {
public:
    // `log` (may be empty) is told why an instance was not kept, naming it.
    DicomInbox(std::string folder, uint64_t maxObjectBytes, std::function<void(const std::string&)> log);

    // Makes the inbox and its staging folder; false with `error`.
    bool make(std::string& error) const;

    const std::string& folder() const { return folder_; }
    std::string stagingFolder() const;

    // A name in the staging folder no other instance of this inbox has.
    std::string stagedName();

    // Judges the instance the request (`sopClass`, `sopInstance`) announced,
    // received into `staged`, and keeps it or says why not. Safe from many
    // threads at once.
    InstanceOutcome keep(const std::string& sopClass, const std::string& sopInstance, const std::string& staged);

private:
    InstanceOutcome check(const std::string& sopClass, const std::string& sopInstance, const std::string& staged);
    void log(const std::string& line) const;

    std::string folder_;
    uint64_t maxObjectBytes_;
    std::function<void(const std::string&)> log_;
    std::atomic<uint64_t> staged_{0};
    std::mutex keeping_;  // makes "already in the inbox" and the rename one step
};

}  // namespace korvanth
