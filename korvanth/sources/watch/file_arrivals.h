// Which files of a watched folder are complete, whatever the writer does:
// one that sets the full size first and fills it slowly, one that pauses
// between chunks, one that never stops.
//
// On a local folder (Linux) the system reports each file closed after
// writing or moved in: such a file is complete at once, and a file reported
// written to is not, however long it looks unchanged. Files the system said
// nothing of (there before the watch began, hard or symbolic links to whole
// files, which are created without a write, or reports lost) and every file
// of a network folder (NFS, SMB/CIFS: the system does not see writes made by
// other machines) are complete once their size and modification time stayed
// the same for the settle time (on a local folder, a file last written that
// long ago when first seen is complete at once). Either way the reader still has to read the
// file in full before it counts.
#pragma once

#include "korvanth/platform/platform.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace korvanth {

enum class ArrivalDetection {
    Automatic,  // system reports on a local folder, polling on a network folder
    Reports,    // system reports; polling where there are none
    Polling,    // size and modification time stable for the settle time
};

struct ArrivalSettings {
    std::string folder;
    ArrivalDetection detection = ArrivalDetection::Automatic;
    std::optional<double> settleSeconds;  // polling: unchanged this long; unset: 1 s on a network folder, 0.2 s locally
};

class FileArrivals {
public:
    using Clock = std::chrono::steady_clock;

    // One file as last seen: hidden names (copies in progress) and names
    // forgotten are never listed.
    struct File {
        uintmax_t size = 0;
        std::filesystem::file_time_type modified{};
        Clock::time_point firstSeen;  // when this file (under this name) was first seen
        Clock::time_point changedAt;  // when it was last seen changed or reported written
        bool complete = false;        // closed after writing, or unchanged for the settle time
    };

    explicit FileArrivals(ArrivalSettings settings);
    ~FileArrivals();

    // Starts listening (where reports are used) and says how files are
    // judged in `how`. False with `error` when the folder cannot be read.
    bool open(std::string& how, std::string& error);
    // Waits at most `seconds` (system reports end the wait at once), then
    // looks at the folder. False with `error` when it cannot be listed.
    bool update(double seconds, std::string& error);

    const std::map<std::string, File>& files() const { return files_; }
    // Never lists `name` again (handed over, ignored, refused) while the
    // file stays; a file under that name after it was gone is listed.
    void forget(const std::string& name);
    bool usesReports() const { return events_ != nullptr; }

private:
    void takeReports(double seconds);

    ArrivalSettings settings_;
    double settleSeconds_ = 0.2;
    std::unique_ptr<FolderEvents> events_;
    std::map<std::string, File> files_;
    std::set<std::string> forgotten_;
    std::set<std::string> closed_;   // reported complete since last looked at
    std::set<std::string> written_;  // reported written to since last looked at
    std::set<std::string> open_;     // reported written to, not yet closed
};

}  // namespace korvanth
