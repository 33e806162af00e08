#include "korvanth/sources/watch/file_arrivals.h"

#include "korvanth/run/clock.h"

#include <algorithm>
#include <cstdio>
#include <thread>

namespace fs = std::filesystem;

namespace korvanth {

namespace {
// Seconds since `modified`. Trusted only on a local folder, whose times
// come from this machine's clock; a network server's clock may be off.
double lastWriteAge(fs::file_time_type modified) { return secondsBetween(modified, fs::file_time_type::clock::now()); }
}  // namespace

FileArrivals::FileArrivals(ArrivalSettings settings) : settings_(std::move(settings)) {}
FileArrivals::~FileArrivals() = default;

bool FileArrivals::open(std::string& how, std::string& error) {
    std::error_code failed;
    if (!fs::is_directory(settings_.folder, failed)) {
        error = settings_.folder + ": no such folder";
        return false;
    }
    const bool network = isNetworkFolder(settings_.folder);
    settleSeconds_ = settings_.settleSeconds.value_or(network ? 1.0 : 0.2);
    const bool wantReports = settings_.detection == ArrivalDetection::Reports ||
                             (settings_.detection == ArrivalDetection::Automatic && !network);
    std::string why = network ? "a network folder" : "polling asked for";
    if (wantReports) {
        events_ = std::make_unique<FolderEvents>(settings_.folder);
        if (events_->isOpen()) {
            how = "a file counts once it is closed after writing";
            return true;
        }
        why = events_->error();
        events_.reset();
    }
    char settle[32];
    std::snprintf(settle, sizeof settle, "%g", settleSeconds_);
    how = std::string("a file counts once unchanged for ") + settle + " s (" + why + ")";
    return true;
}

void FileArrivals::forget(const std::string& name) {
    forgotten_.insert(name);
    files_.erase(name);
    open_.erase(name);
    closed_.erase(name);
}

void FileArrivals::takeReports(double seconds) {
    std::vector<FileReport> reports;
    // Reports end the wait at once, so waiting longer costs no latency; the
    // folder is still looked at often enough for the settle times.
    if (!events_->wait(std::max(seconds, 0.05), reports))
        open_.clear();  // reports were lost: judged by the settle time until reported again
    for (const FileReport& report : reports) {
        if (forgotten_.count(report.name) > 0) continue;
        if (report.complete) {
            open_.erase(report.name);
            closed_.insert(report.name);
        } else {
            open_.insert(report.name);
            closed_.erase(report.name);
            written_.insert(report.name);
        }
    }
}

bool FileArrivals::update(double seconds, std::string& error) {
    if (events_)
        takeReports(seconds);
    else
        std::this_thread::sleep_for(steadyDuration(seconds));
    const Clock::time_point now = Clock::now();
    std::error_code failed;
    fs::directory_iterator it(settings_.folder, failed);
    if (failed) {
        error = settings_.folder + ": cannot list the folder (" + failed.message() + ")";
        return false;
    }
    std::set<std::string> present, listed;
    for (; it != fs::directory_iterator(); it.increment(failed)) {
        if (failed) break;
        const std::string name = it->path().filename().string();
        listed.insert(name);
        // Hidden names are copies in progress (rsync, editors): never volumes.
        if (name.empty() || name[0] == '.' || forgotten_.count(name) > 0) continue;
        std::error_code statFailed;
        if (!it->is_regular_file(statFailed)) continue;
        const uintmax_t size = it->file_size(statFailed);
        if (statFailed) continue;
        const fs::file_time_type modified = it->last_write_time(statFailed);
        if (statFailed) continue;
        present.insert(name);
        auto [found, inserted] = files_.try_emplace(name);
        File& f = found->second;
        if (inserted) f.firstSeen = now;
        if (inserted || f.size != size || f.modified != modified || written_.count(name) > 0) {
            f.size = size;
            f.modified = modified;
            f.changedAt = now;
            f.complete = false;
        }
        if (events_ && closed_.count(name) > 0)
            f.complete = true;  // closed after its last write
        else if (events_ && open_.count(name) > 0)
            f.complete = false;  // a writer has it open, however still it looks
        else if (!f.complete)
            f.complete = size > 0 && (secondsBetween(f.changedAt, now) >= settleSeconds_ ||
                                      (events_ && inserted && lastWriteAge(modified) >= settleSeconds_));
    }
    written_.clear();
    closed_.clear();
    // A name forgotten and gone may come back as another file (a folder
    // cleared for the next study reuses its names).
    for (auto f = forgotten_.begin(); !failed && f != forgotten_.end();)
        f = listed.count(*f) > 0 ? std::next(f) : forgotten_.erase(f);
    for (auto f = files_.begin(); f != files_.end();) {
        if (present.count(f->first) > 0) {
            ++f;
            continue;
        }
        open_.erase(f->first);
        f = files_.erase(f);
    }
    return true;
}

}  // namespace korvanth
