#include "korvanth/outputs/session_record.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

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
        if (!e.seriesKey.empty()) e.files = std::max(e.files, filesOf(e.seriesKey));  // an earlier start's stay
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

namespace {

// One entry as toJson() writes it; throws where the item is not one.
SessionEntry entryFromJson(const nlohmann::json& item) {
    SessionEntry e;
    e.seriesNumber = item.at("series_number").get<int64_t>();
    e.description = item.at("description").get<std::string>();
    e.state = item.at("state").get<std::string>();
    e.reason = item.at("reason").get<std::string>();
    const nlohmann::json& folder = item.at("folder");
    e.folder = folder.is_null() ? std::string() : folder.get<std::string>();
    e.seriesKey = item.value("series_key", std::string());
    e.files = item.value("files", int64_t{-1});
    static const std::array<const char*, 5> states{"complete", "partial", "failed", "skipped", "running"};
    if (std::find(states.begin(), states.end(), e.state) == states.end())
        throw std::runtime_error("unknown state \"" + e.state + "\"");
    if (e.state == "skipped") return e;
    RunSummary& s = e.summary;
    s.volumes = item.at("volumes").get<int32_t>();
    s.repetitionTimeSeconds = item.at("tr_s").get<double>();
    s.meanFd = item.at("mean_fd_mm").get<double>();
    s.framesUnder = item.at("frames_under").get<std::array<int32_t, 2>>();
    s.lowMotionSeconds = item.at("low_motion_s").get<std::array<double, 2>>();
    return e;
}

std::string thresholdsText(const FdThresholds& t) {
    char text[64];
    std::snprintf(text, sizeof text, "%g and %g mm", t[0], t[1]);
    return text;
}

}  // namespace

bool SessionRecord::load(bool& found, std::string& error) {
    std::error_code failed;
    found = fs::exists(path_, failed);
    if (!found) return true;
    std::ifstream in(path_, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string keep = "; move it away or choose another --out";
    std::vector<SessionEntry> entries;
    FdThresholds kept{};
    try {
        const nlohmann::json record = nlohmann::json::parse(text);
        for (const nlohmann::json& item : record.at("series")) entries.push_back(entryFromJson(item));
        const nlohmann::json& totals = record.at("low_motion");
        if (!totals.is_array() || totals.size() != kept.size())
            throw std::runtime_error("low_motion is not one total per FD threshold");
        for (std::size_t t = 0; t < kept.size(); ++t) kept[t] = totals[t].at("fd_threshold_mm").get<double>();
    } catch (const std::exception& e) {  // nlohmann::json's, and the checks' above
        error = path_ + ": not a session record of Korvanth (" + e.what() + ")" + keep;
        return false;
    }
    if (kept != fdThresholds_) {
        error = path_ + ": kept with FD thresholds " + thresholdsText(kept) + ", not the " +
                thresholdsText(fdThresholds_) + " given; go on with its --fd-thresholds" + keep;
        return false;
    }
    for (SessionEntry& e : entries)
        if (e.state == "running") {
            e.state = "failed";
            e.reason = "Korvanth ended during the run";
        }
    entries_ = std::move(entries);
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
