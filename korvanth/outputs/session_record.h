// A scanning session followed from one or more starts: one entry per series
// that came, run or skipped, and the low-motion time added up across the runs
// toward the study's target. Kept as OUT/session.json, rewritten whole and
// atomically after each series, so that a reader never sees half of it; a
// later start into the same OUT reads it back and goes on with it.
#pragma once

#include "korvanth/run/volume_metrics.h"

#include <nlohmann/json_fwd.hpp>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korvanth {

// What a finished run adds to the session, from its framewise displacement.
struct RunSummary {
    int32_t volumes = 0;
    double repetitionTimeSeconds = 0.0;
    double meanFd = 0.0;                       // mm, over the volumes after the first
    std::array<int32_t, 2> framesUnder{};      // volumes with FD <= each threshold
    std::array<double, 2> lowMotionSeconds{};  // framesUnder × TR
};

// `fd` holds one value per volume, 0 for the first (it has no predecessor).
RunSummary summarizeRun(const std::vector<double>& fd, double repetitionTimeSeconds, const FdThresholds& fdThresholds);

struct SessionEntry {
    int64_t seriesNumber = -1;  // -1 when the files do not say
    std::string description;
    std::string folder;  // the run's folder under OUT; empty for a skipped series
    std::string state;   // "complete", "partial", "failed", "skipped" or "running"
    std::string reason;  // why a series was skipped or a run ended early
    RunSummary summary;
    std::string seriesKey;  // what tells the series apart (study and series UIDs, export name); empty: not told
    int64_t files = -1;     // the folder's files that are of the series; -1: not counted
};

// Where the files that appeared in the watched folder ended: of a series
// (counted in its entry), ignored by reason, or not placed yet.
struct FileAccount {
    int64_t appeared = 0;
    int64_t inSeries = 0;
    int64_t waiting = 0;
    std::map<std::string, int64_t> ignored;
};

class SessionRecord {
public:
    // `outFolder` holds session.json; the thresholds and target are the
    // session's (--fd-thresholds, --target-minutes).
    SessionRecord(std::string outFolder, const FdThresholds& fdThresholds, double targetMinutes);

    // Adds a series, or replaces the last one (the run in progress when it
    // ends), then rewrites session.json. False with `error` when it cannot be
    // written (the previous file stays as it was).
    bool add(const SessionEntry& entry, std::string& error);
    bool replaceLast(const SessionEntry& entry, std::string& error);
    // The files' account, and each entry's count by its series key
    // (`filesOf`); written with the next save.
    void countFiles(const FileAccount& account, const std::function<int64_t(const std::string&)>& filesOf);
    // Rewrites session.json as the record stands.
    bool save(std::string& error) const;
    // Takes the entries of the session.json an earlier start left, to add to
    // them; a run it left "running" (Korvanth ended during it) is "failed"
    // now. True, with `found` false, when there is none. False with `error`
    // naming the file when it is not a session record that this session can
    // go on with: damaged, of another program, or kept with other FD
    // thresholds (its low-motion time would not add up with this one's).
    // The file is left as it was either way.
    bool load(bool& found, std::string& error);

    const std::vector<SessionEntry>& entries() const { return entries_; }
    // The whole session as session.json holds it: entries and totals.
    nlohmann::json toJson() const;

private:
    std::string path_;
    FdThresholds fdThresholds_;
    double targetMinutes_;
    std::vector<SessionEntry> entries_;
    std::optional<FileAccount> files_;
};

// The folder name of a series' run: its number and description, made safe
// as a file name ("007_rest_bold"); "series" when neither is known.
std::string runFolderName(int64_t seriesNumber, const std::string& description);

}  // namespace korvanth
