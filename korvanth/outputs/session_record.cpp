#include "korvanth/outputs/session_record.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace korvanth {

RunSummary summarizeRun(const std::vector<double>& fd, double repetitionTimeSeconds, const FdThresholds& fdThresholds) {
    MotionTally tally(fdThresholds);
    for (const double value : fd) tally.add(value);
    RunSummary summary;
    summary.volumes = static_cast<int32_t>(tally.volumes());
    summary.repetitionTimeSeconds = repetitionTimeSeconds;
    summary.meanFd = tally.meanFd();
    for (int k = 0; k < 2; ++k) {
        summary.framesUnder[k] = static_cast<int32_t>(tally.atOrBelow(k));
        summary.lowMotionSeconds[k] = static_cast<double>(tally.atOrBelow(k)) * repetitionTimeSeconds;
    }
    return summary;
}

SessionRecord::SessionRecord(std::string outFolder, const FdThresholds& fdThresholds, double targetMinutes)
    : path_((fs::path(outFolder) / "session.json").string()),
      fdThresholds_(fdThresholds),
      targetMinutes_(targetMinutes) {}

bool SessionRecord::add(const SessionEntry& entry, std::string& error) {
    entries_.push_back(entry);
    return save(error);
}

bool SessionRecord::replaceLast(const SessionEntry& entry, std::string& error) {
    if (entries_.empty()) return add(entry, error);
    entries_.back() = entry;
    return save(error);
}

void SessionRecord::countFiles(const FileAccount& account, const std::function<int64_t(const std::string&)>& filesOf) {
    files_ = account;
    for (SessionEntry& e : entries_)
        if (!e.seriesKey.empty()) e.files = filesOf(e.seriesKey);
}

bool SessionRecord::save(std::string& error) const {
    // Written beside and renamed over: a reader sees the old file or the new one.
    const std::string partial = path_ + ".part";
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out << toJson().dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
        out.close();
        if (!out) {
            error = partial + ": cannot write the session's record";
            std::remove(partial.c_str());
            return false;
        }
    }
    std::error_code failed;
    fs::rename(partial, path_, failed);
    if (failed) {
        error = path_ + ": cannot replace the session's record (" + failed.message() + ")";
        std::remove(partial.c_str());
        return false;
    }
    return true;
}

nlohmann::json SessionRecord::toJson() const {
    nlohmann::json series = nlohmann::json::array();
    std::array<int64_t, 2> framesUnder{};
    std::array<double, 2> lowMotion{};
    int64_t frames = 0;
    for (const SessionEntry& e : entries_) {
        nlohmann::json item = {{"series_number", e.seriesNumber},
                               {"description", e.description},
                               {"state", e.state},
                               {"reason", e.reason}};
        item["folder"] = e.folder.empty() ? nlohmann::json() : nlohmann::json(e.folder);
        if (!e.seriesKey.empty()) item["series_key"] = e.seriesKey;
        if (e.files >= 0) item["files"] = e.files;
        if (e.state != "skipped") {
            const RunSummary& s = e.summary;
            item["volumes"] = s.volumes;
            item["tr_s"] = s.repetitionTimeSeconds;
            item["mean_fd_mm"] = s.meanFd;
            item["frames_under"] = s.framesUnder;
            item["low_motion_s"] = s.lowMotionSeconds;
            frames += s.volumes;
            for (std::size_t t = 0; t < 2; ++t) {
                framesUnder[t] += s.framesUnder[t];
                lowMotion[t] += s.lowMotionSeconds[t];
            }
        }
        series.push_back(std::move(item));
    }
    nlohmann::json totals = nlohmann::json::array();
    const double target = targetMinutes_ * 60.0;
    for (std::size_t t = 0; t < 2; ++t) {
        // At the session's share of low-motion frames so far.
        const LowMotionOutlook outlook = lowMotionOutlook(framesUnder[t], frames, lowMotion[t], target);
        totals.push_back({{"fd_threshold_mm", fdThresholds_[t]},
                          {"frames_under", framesUnder[t]},
                          {"low_motion_s", lowMotion[t]},
                          {"still_needed_s", outlook.missingSeconds},
                          {"predicted_scanning_s",
                           outlook.scanningKnown ? nlohmann::json(outlook.scanningSeconds) : nlohmann::json()}});
    }
    nlohmann::json session = {
        {"series", series}, {"frames", frames}, {"target_minutes", targetMinutes_}, {"low_motion", totals}};
    if (files_)
        session["files"] = {{"appeared", files_->appeared},
                            {"in_series", files_->inSeries},
                            {"waiting", files_->waiting},
                            {"ignored", files_->ignored}};
    return session;
}

std::string runFolderName(int64_t seriesNumber, const std::string& description) {
    char number[32];
    std::snprintf(number, sizeof number, "%03lld", static_cast<long long>(seriesNumber));
    std::string name = seriesNumber >= 0 ? number : "series";
    std::string safe;
    for (const char c : description) {
        const bool plain = std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.';
        if (plain)
            safe += c;
        else if (!safe.empty() && safe.back() != '_')
            safe += '_';
    }
    while (!safe.empty() && (safe.back() == '_' || safe.back() == '.')) safe.pop_back();
    while (!safe.empty() && safe.front() == '.') safe.erase(0, 1);
    if (safe.size() > 64) safe.resize(64);
    return safe.empty() ? name : name + "_" + safe;
}

}  // namespace korvanth
