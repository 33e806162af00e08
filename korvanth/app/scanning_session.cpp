#include "korvanth/app/scanning_session.h"

#include "korvanth/app/invocation.h"
#include "korvanth/outputs/output_folder.h"
#include "korvanth/outputs/session_record.h"
#include "korvanth/platform/platform.h"
#include "korvanth/sources/motion/estimated_motion_source.h"
#include "korvanth/sources/watch/lookahead_source.h"
#include "korvanth/sources/watch/watch_folder.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <memory>
#include <thread>

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
    int64_t changedValues() const override { return inner_.changedValues(); }

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

// Where the session's files ended: those of the folders watched before (the
// watch folder re-created) and the current watch's.
struct SessionFiles {
    FileLedger earlier;
    std::unique_ptr<WatchFolderSource> watch;

    FileLedger ledger() const {
        FileLedger all = earlier;
        all.absorb(watch->ledger());
        return all;
    }
};

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

// `name`, or `name_2`, `name_3`, ... when a run of the session has it or it
// is in OUT already (a run of an earlier start, or another's): two series of
// one number and description must not commit into one folder, where the
// second would replace the first's results.
std::string unusedFolderName(const SessionRecord& record, const std::string& outFolder, const std::string& name) {
    const auto used = [&](const std::string& folder) {
        for (const SessionEntry& e : record.entries())
            if (e.folder == folder) return true;
        std::error_code failed;
        return fs::exists(fs::path(outFolder) / folder, failed);
    };
    std::string folder = name;
    for (int n = 2; used(folder); ++n) folder = name + "_" + std::to_string(n);
    return folder;
}

// Records a series that is not a run, and says why.
bool skipSeries(Invocation& invocation, SessionRecord& record, const SessionFiles& files, const std::string& reason,
                std::string& error) {
    const SeriesIdentity identity = files.watch->identity();
    SessionEntry entry = entryOf(identity);
    const FileLedger ledger = files.ledger();
    entry.files = ledger.filesOf(identity.key);
    countFiles(record, ledger);
    entry.state = "skipped";
    entry.reason = reason;
    std::cout << "Series " << identity.number << " (" << identity.description << ") is not run: " << reason
              << std::endl;
    if (!record.add(entry, error)) return false;
    showSession(invocation, record);
    return true;
}

// One series as a run into OUT/<folder>. Returns the run's exit code.
int runSeries(const KorvanthOptions& o, Invocation& invocation, SessionRecord& record, const SessionFiles& files,
              LookaheadSource& source, const SeriesInfo& series, std::string& error) {
    const SeriesIdentity identity = files.watch->identity();
    SessionEntry entry = entryOf(identity);
    entry.folder = unusedFolderName(record, o.outFolder, runFolderName(identity.number, identity.description));
    entry.state = "running";
    if (!record.add(entry, error)) return fail(error);
    showSession(invocation, record);

    RunInputs inputs;
    inputs.series = series;
    // Named by its series, as the scanner's console names it: the watch
    // folder's name is every series'.
    inputs.series.title = "Series " + std::to_string(identity.number) +
                          (identity.description.empty() ? std::string() : " (" + identity.description + ")");
    inputs.live = true;
    inputs.motion = std::make_unique<EstimatedMotionSource>(o.referenceVolume - 1);
    inputs.motionGiven = inputs.motionEstimated = true;
    inputs.motionSource = "estimated by Korvanth against volume " + std::to_string(o.referenceVolume);
    inputs.recorded = std::make_unique<ForwardingSource>(source);
    inputs.laterEchoes = [&files](int32_t volumeCount) { return files.watch->takeLaterEchoes(volumeCount); };
    if (!inputs.motion->begin(series, error)) return fail(error);
    OutputFolder out;
    const CommittedRun run =
        runIntoFolder(o, invocation, inputs, "live", out, (fs::path(o.outFolder) / entry.folder).string());

    entry.state = run.written.empty() ? "failed" : run.outcome.partial ? "partial" : "complete";
    entry.reason = run.written.empty() ? "no results were committed" : run.outcome.endReason;
    entry.summary = summarizeRun(run.framewiseDisplacementMm, series.repetitionTimeSeconds, o.fdThresholds);
    for (const EchoSummary& echo : run.echoes) entry.echoVolumes[echo.echo] = echo.volumes;
    const FileLedger ledger = files.ledger();
    entry.files = ledger.filesOf(identity.key);
    countFiles(record, ledger);
    if (!record.replaceLast(entry, error)) return fail(error);
#if KORVANTH_HAS_LIVE_VIEW
    if (invocation.live && !run.written.empty())
        invocation.live->runCommitted(entry.folder, fs::path(o.outFolder) / entry.folder, run.written);
#endif
    showSession(invocation, record);
    return run.exitCode;
}

// The committed runs of earlier starts, served by the live view as this
// start's are: the session strip links to every run.
void serveEarlierRuns(const KorvanthOptions& o, Invocation& invocation, const SessionRecord& record) {
#if KORVANTH_HAS_LIVE_VIEW
    if (!invocation.live) return;
    for (const SessionEntry& e : record.entries()) {
        // A folder of OUT itself, whatever the file says: never one outside it.
        if (e.folder.empty() || e.folder == "." || e.folder == ".." ||
            e.folder.find_first_of("/\\") != std::string::npos)
            continue;
        const fs::path folder = fs::path(o.outFolder) / e.folder;
        const std::vector<std::string> files = OutputFolder::committedFiles(folder.string());
        if (!files.empty()) invocation.live->runCommitted(e.folder, folder, files);
    }
#else
    (void)o;
    (void)invocation;
    (void)record;
#endif
}

// The session's record in OUT: the one an earlier start left, gone on with,
// or a new one. A session.json that cannot be gone on with is left for the
// operator to look at, never written over: false with `error` naming it.
bool openSessionRecord(const KorvanthOptions& o, Invocation& invocation, SessionRecord& record, std::string& error) {
    std::error_code failed;
    fs::create_directories(o.outFolder, failed);
    bool found = false;
    if (!record.load(found, error)) return false;
    if (found)
        std::cout << "Going on with the session in " << (fs::path(o.outFolder) / "session.json").string() << ": "
                  << record.entries().size() << " series so far" << std::endl;
    if (!record.save(error)) return false;
    showSession(invocation, record);
    serveEarlierRuns(o, invocation, record);
    return true;
}

// Whether the watch folder is gone (removed, or unmounted) rather than unreadable.
bool watchFolderGone(const KorvanthOptions& o) {
    std::error_code failed;
    return !fs::exists(o.watchFolder, failed) && !failed;
}

// Waits for a watch folder that is gone to be there again (an export tool
// may remove and re-create it between series): true once it is, false when
// stopped or when --session-idle passed since it went.
bool awaitWatchFolder(const KorvanthOptions& o, Invocation& invocation) {
    const auto note = [&](const std::string& line) { invocation.observers.hostLogLine("watch: " + line); };
    note("the folder " + o.watchFolder + " is gone; waiting for it to be there again");
    const auto gone = std::chrono::steady_clock::now();
    while (!runStopRequested()) {
        std::error_code failed;
        if (fs::is_directory(o.watchFolder, failed)) {
            note("the folder " + o.watchFolder + " is there again; watching it");
            return true;
        }
        const std::chrono::duration<double> waited = std::chrono::steady_clock::now() - gone;
        if (o.sessionIdle >= 0.0 && waited.count() >= o.sessionIdle) {
            std::cout << "The watch folder " << o.watchFolder << " did not come back; no new series for "
                      << o.sessionIdle << " s" << std::endl;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
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
bool followSeries(const KorvanthOptions& o, Invocation& invocation, SessionRecord& record, const SessionFiles& files,
                  LookaheadSource& source, const SeriesInfo& series, int& exitCode) {
    std::string error;
    if (runStopRequested()) {  // before the series showed itself a run: between runs
        const std::string reason =
            "the session was stopped before the series had " + std::to_string(o.minVolumes) + " volumes";
        if (!skipSeries(invocation, record, files, reason, error)) exitCode = fail(error);
        return false;
    }
    const std::string reason = notRunBecause(o, files.watch->identity(), source);
    if (!reason.empty()) {
        if (skipSeries(invocation, record, files, reason, error)) return true;
        exitCode = fail(error);
        return false;
    }
    const int code = runSeries(o, invocation, record, files, source, series, error);
    if (code != exitSuccess && code != exitPartialRun) exitCode = code;
    if (code == exitPartialRun && runStopRequested()) exitCode = exitPartialRun;
    return true;
}

}  // namespace

int followScanningSession(KorvanthOptions& o) {
    Invocation invocation;
    if (const int code = startInvocation(o, invocation); code != exitSuccess) return code;
    std::string error;
    SessionRecord record(o.outFolder, o.fdThresholds, o.targetMinutes);
    if (!openSessionRecord(o, invocation, record, error)) return fail(error);

    const bool watchFolderWasThere = !watchFolderGone(o);  // one missing from the start is a mistake, not a restart
    std::cout << "Following the session in " << o.watchFolder << " (Ctrl-C ends it)" << std::endl;
    SessionFiles files;
    files.watch = std::make_unique<WatchFolderSource>(sessionWatch(o, invocation));
    int exitCode = exitSuccess;
    while (!runStopRequested()) {
        LookaheadSource source(*files.watch, std::max(1, o.minVolumes));
        SeriesInfo series;
        if (!source.open(series, error)) {
            const bool timedOut = files.watch->timedOutWaiting();
            if (!runStopRequested() && !timedOut && watchFolderWasThere && watchFolderGone(o)) {
                if (!awaitWatchFolder(o, invocation)) break;
                // Another folder under the name: a watch of its own, the files so far kept.
                files.earlier.absorb(files.watch->ledger());
                files.watch = std::make_unique<WatchFolderSource>(sessionWatch(o, invocation));
                continue;
            }
            if (!runStopRequested() && !timedOut) exitCode = fail(error);
            if (timedOut) std::cout << "No new series for " << o.sessionIdle << " s" << std::endl;
            break;
        }
        if (!followSeries(o, invocation, record, files, source, series, exitCode)) break;
    }
    FileLedger ledger = files.ledger();
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
