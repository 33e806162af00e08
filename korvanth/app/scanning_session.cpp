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

// The session's watch, opened once for each series: the options' settings
// (--poll-settle included), its notes to the terminal and the live view
// like a single run's.
WatchSettings sessionWatch(const KorvanthOptions& o, Invocation& invocation) {
    WatchSettings watch =
        watchSettingsFrom(o, [&invocation](const std::string& note) { invocation.observers.hostLogLine(note); });
    watch.includeExisting = o.includeExisting;
    watch.endAtNewSeries = true;
    watch.firstVolumeTimeoutSeconds = o.sessionIdle;
    return watch;
}

// The ledger's account into the record (written with its next save).
void countFiles(SessionRecord& record, const FileLedger& ledger) {
    FileAccount account;
    account.appeared = ledger.appearedCount();
    account.waiting = ledger.openCount();
    account.ignored = ledger.ignoredCounts();
    account.inSeries = account.appeared - account.waiting;
    for (const auto& [reason, count] : account.ignored) account.inSeries -= count;
    record.countFiles(account, [&ledger](const std::string& key) { return ledger.filesOf(key); });
}

SessionEntry entryOf(const SeriesIdentity& identity) {
    SessionEntry entry;
    entry.seriesNumber = identity.number;
    entry.description = identity.description;
    entry.seriesKey = identity.key;
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
bool skipSeries(Invocation& invocation, SessionRecord& record, const WatchFolderSource& watch,
                const std::string& reason, std::string& error) {
    const SeriesIdentity identity = watch.identity();
    SessionEntry entry = entryOf(identity);
    entry.files = watch.ledger().filesOf(identity.key);
    countFiles(record, watch.ledger());
    entry.state = "skipped";
    entry.reason = reason;
    std::cout << "Series " << identity.number << " (" << identity.description << ") is not run: " << reason
              << std::endl;
    if (!record.add(entry, error)) return false;
    showSession(invocation, record);
    return true;
}

// One series as a run into OUT/<folder>. Returns the run's exit code.
int runSeries(const KorvanthOptions& o, Invocation& invocation, SessionRecord& record, const WatchFolderSource& watch,
              LookaheadSource& source, const SeriesInfo& series, std::string& error) {
    const SeriesIdentity identity = watch.identity();
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
    entry.files = watch.ledger().filesOf(identity.key);
    countFiles(record, watch.ledger());
    if (!record.replaceLast(entry, error)) return fail(error);
#if KORVANTH_HAS_LIVE_VIEW
    if (invocation.live && !run.written.empty())
        invocation.live->runCommitted(entry.folder, fs::path(o.outFolder) / entry.folder, run.written);
#endif
    showSession(invocation, record);
    return run.exitCode;
}

// Why a series the watch opened is not run; empty when it is to be run.
std::string notRunBecause(const KorvanthOptions& o, const SeriesIdentity& identity, const LookaheadSource& source) {
    if (!identity.otherKind.empty()) return identity.otherKind + ": not a functional run";
    if (!source.shortSeries()) return {};
    const int32_t volumes = source.volumesReadAhead();
    return (volumes == 1
                ? std::string("a single volume")
                : std::to_string(volumes) + " volumes, fewer than --min-volumes " + std::to_string(o.minVolumes)) +
           ": not a functional run";
}

// One series the watch opened: listed as not run, saying why, or run.
// False when the session ends here (stopped, or its record could not be
// written); `exitCode` takes the outcome.
bool followSeries(const KorvanthOptions& o, Invocation& invocation, SessionRecord& record,
                  const WatchFolderSource& watch, LookaheadSource& source, const SeriesInfo& series, int& exitCode) {
    std::string error;
    if (runStopRequested()) {  // before the series showed itself a run: between runs
        const std::string reason =
            "the session was stopped before the series had " + std::to_string(o.minVolumes) + " volumes";
        if (!skipSeries(invocation, record, watch, reason, error)) exitCode = fail(error);
        return false;
    }
    const std::string reason = notRunBecause(o, watch.identity(), source);
    if (!reason.empty()) {
        if (skipSeries(invocation, record, watch, reason, error)) return true;
        exitCode = fail(error);
        return false;
    }
    const int code = runSeries(o, invocation, record, watch, source, series, error);
    if (code != exitSuccess && code != exitPartialRun) exitCode = code;
    if (code == exitPartialRun && runStopRequested()) exitCode = exitPartialRun;
    return true;
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

    std::cout << "Following the session in " << o.watchFolder << " (Ctrl-C ends it)" << std::endl;
    WatchFolderSource watch(sessionWatch(o, invocation));
    int exitCode = exitSuccess;
    while (!runStopRequested()) {
        LookaheadSource source(watch, std::max(1, o.minVolumes));
        SeriesInfo series;
        if (!source.open(series, error)) {
            if (!runStopRequested() && !watch.timedOutWaiting()) exitCode = fail(error);
            if (watch.timedOutWaiting()) std::cout << "No new series for " << o.sessionIdle << " s" << std::endl;
            break;
        }
        if (!followSeries(o, invocation, record, watch, source, series, exitCode)) break;
    }
    FileLedger ledger = watch.ledger();
    ledger.closeOpen(ignoredBecause::unfinished);
    countFiles(record, ledger);
    if (!record.save(error)) exitCode = fail(error);
    showSession(invocation, record);
    std::cout << "Session: " << record.entries().size() << " series; "
              << (fs::path(o.outFolder) / "session.json").string() << std::endl;
    endInvocation(invocation, true, o.linger);
    return exitCode;
}

}  // namespace korvanth
