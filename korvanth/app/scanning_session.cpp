#include "korvanth/app/scanning_session.h"

#include "korvanth/app/invocation.h"
#include "korvanth/outputs/session_record.h"
#include "korvanth/platform/platform.h"
#include "korvanth/sources/motion/estimated_motion_source.h"
#include "korvanth/sources/watch/lookahead_source.h"
#include "korvanth/sources/watch/watch_folder.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <set>

namespace fs = std::filesystem;

namespace korvanth {

namespace {

// The series' source as the run pulls it; the session keeps the source
// itself, to ask it afterwards which files the run took.
class ForwardingSource final : public VolumeSource {
public:
    explicit ForwardingSource(VolumeSource& inner) : inner_(inner) {}
    bool open(SeriesInfo& series, std::string& error) override { return inner_.open(series, error); }
    Next next(std::vector<int16_t>& volume, std::string& error) override { return inner_.next(volume, error); }
    VolumeArrival lastArrival() const override { return inner_.lastArrival(); }

private:
    VolumeSource& inner_;
};

// What the session has followed so far: the files it is done with (there
// before it began, or taken by a run) and the series it has seen.
struct Followed {
    std::set<std::string> files;
    std::set<std::string> series;
};

// The next series' watch: the options' settings (--poll-settle included),
// its notes to the terminal and the live view like a single run's.
WatchSettings nextSeriesWatch(const KorvanthOptions& o, Invocation& invocation, const Followed& followed) {
    WatchSettings watch =
        watchSettingsFrom(o, [&invocation](const std::string& note) { invocation.observers.hostLogLine(note); });
    watch.includeExisting = true;  // files of the session that came while the last run was committed
    watch.ignoredFiles = followed.files;
    watch.pastSeries = followed.series;
    watch.endAtNewSeries = true;
    watch.firstVolumeTimeoutSeconds = o.sessionIdle;
    return watch;
}

std::set<std::string> filesNow(const std::string& folder) {
    std::set<std::string> names;
    std::error_code failed;
    for (fs::directory_iterator it(folder, failed); !failed && it != fs::directory_iterator(); it.increment(failed))
        names.insert(it->path().filename().string());
    return names;
}

SessionEntry entryOf(const SeriesIdentity& identity) {
    SessionEntry entry;
    entry.seriesNumber = identity.number;
    entry.description = identity.description;
    return entry;
}

void showSession(Invocation& invocation, const SessionRecord& record) {
#if KORVANTH_HAS_LIVE_VIEW
    if (invocation.live)
        invocation.live->sessionChanged(record.toJson().dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
#else
    (void)invocation;
    (void)record;
#endif
}

// `name`, or `name_2`, `name_3`, ... when a run of the session has it: two
// series of one number and description must not commit into one folder,
// where the second would replace the first's results.
std::string unusedFolderName(const SessionRecord& record, const std::string& name) {
    const auto used = [&](const std::string& folder) {
        for (const SessionEntry& e : record.entries())
            if (e.folder == folder) return true;
        return false;
    };
    std::string folder = name;
    for (int n = 2; used(folder); ++n) folder = name + "_" + std::to_string(n);
    return folder;
}

// Records a series that is not a run, and says why.
bool skipSeries(Invocation& invocation, SessionRecord& record, const SeriesIdentity& identity,
                const std::string& reason, std::string& error) {
    SessionEntry entry = entryOf(identity);
    entry.state = "skipped";
    entry.reason = reason;
    std::cout << "Series " << identity.number << " (" << identity.description << ") is not run: " << reason
              << std::endl;
    if (!record.add(entry, error)) return false;
    showSession(invocation, record);
    return true;
}

// One series as a run into OUT/<folder>. Returns the run's exit code.
int runSeries(const KorvanthOptions& o, Invocation& invocation, SessionRecord& record, const SeriesIdentity& identity,
              LookaheadSource& source, const SeriesInfo& series, std::string& error) {
    SessionEntry entry = entryOf(identity);
    entry.folder = unusedFolderName(record, runFolderName(identity.number, identity.description));
    entry.state = "running";
    if (!record.add(entry, error)) return fail(error);
    showSession(invocation, record);

    RunInputs inputs;
    inputs.series = series;
    inputs.live = true;
    inputs.motion = std::make_unique<EstimatedMotionSource>(o.referenceVolume - 1);
    inputs.motionGiven = inputs.motionEstimated = true;
    inputs.motionSource = "estimated by Korvanth against volume " + std::to_string(o.referenceVolume);
    inputs.recorded = std::make_unique<ForwardingSource>(source);
    if (!inputs.motion->begin(series, error)) return fail(error);
    OutputFolder out;
    const CommittedRun run =
        runIntoFolder(o, invocation, inputs, "live", out, (fs::path(o.outFolder) / entry.folder).string());

    entry.state = run.written.empty() ? "failed" : run.outcome.partial ? "partial" : "complete";
    entry.reason = run.written.empty() ? "no results were committed" : run.outcome.endReason;
    entry.summary = summarizeRun(run.framewiseDisplacementMm, series.repetitionTimeSeconds, o.fdThresholds);
    if (!record.replaceLast(entry, error)) return fail(error);
#if KORVANTH_HAS_LIVE_VIEW
    if (invocation.live && !run.written.empty())
        invocation.live->runCommitted(entry.folder, fs::path(o.outFolder) / entry.folder, run.written);
#endif
    showSession(invocation, record);
    return run.exitCode;
}

}  // namespace

int followScanningSession(KorvanthOptions& o) {
    Invocation invocation;
    if (const int code = startInvocation(o, invocation); code != exitSuccess) return code;
    std::string error;
    std::error_code failed;
    fs::create_directories(o.outFolder, failed);
    SessionRecord record(o.outFolder, o.fdThresholds, o.targetMinutes);
    if (!record.save(error)) return fail(error);

    Followed followed;
    if (!o.includeExisting) followed.files = filesNow(o.watchFolder);
    std::cout << "Following the session in " << o.watchFolder << " (Ctrl-C ends it)" << std::endl;
    int exitCode = exitSuccess;
    while (!runStopRequested()) {
        WatchFolderSource watch(nextSeriesWatch(o, invocation, followed));
        LookaheadSource source(watch, std::max(1, o.minVolumes));
        SeriesInfo series;
        if (!source.open(series, error)) {
            if (!runStopRequested() && !watch.timedOutWaiting()) exitCode = fail(error);
            if (watch.timedOutWaiting()) std::cout << "No new series for " << o.sessionIdle << " s" << std::endl;
            break;
        }
        const SeriesIdentity identity = watch.identity();
        followed.series.insert(identity.key);
        if (runStopRequested()) {  // before the series showed itself a run: between runs
            const std::string reason =
                "the session was stopped before the series had " + std::to_string(o.minVolumes) + " volumes";
            if (!skipSeries(invocation, record, identity, reason, error)) exitCode = fail(error);
            break;
        }
        if (!identity.otherKind.empty()) {
            if (!skipSeries(invocation, record, identity, identity.otherKind + ": not a functional run", error))
                return fail(error);
        } else if (source.shortSeries()) {
            const int32_t volumes = source.volumesReadAhead();
            const std::string reason = (volumes == 1 ? std::string("a single volume")
                                                     : std::to_string(volumes) + " volumes, fewer than --min-volumes " +
                                                           std::to_string(o.minVolumes)) +
                                       ": not a functional run";
            if (!skipSeries(invocation, record, identity, reason, error)) return fail(error);
        } else {
            const int code = runSeries(o, invocation, record, identity, source, series, error);
            if (code != exitSuccess && code != exitPartialRun) exitCode = code;
            if (code == exitPartialRun && runStopRequested()) exitCode = exitPartialRun;
        }
        for (const std::string& name : watch.files()) followed.files.insert(name);
    }
    std::cout << "Session: " << record.entries().size() << " series; "
              << (fs::path(o.outFolder) / "session.json").string() << std::endl;
    endInvocation(invocation, true, o.linger);
    return exitCode;
}

}  // namespace korvanth
