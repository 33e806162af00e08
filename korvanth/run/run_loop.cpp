#include "korvanth/run/run_loop.h"

#include "korvanth/host/host_state.h"
#include "korvanth/run/clock.h"
#include "korvanth/run/motion_log_writer.h"

#include <atomic>
#include <chrono>

namespace korvanth {

namespace {
std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler sets the stop request");

using Clock = std::chrono::steady_clock;
}  // namespace

void requestRunStop() { stopRequested.store(true); }

std::string changedValuesNote(int64_t count) {
    return std::to_string(count) +
           " stored values were changed to fit the run's 16-bit volumes (rounded to integers, clamped to [-32768, "
           "32767], or not finite and read as 0)";
}
bool runStopRequested() { return stopRequested.load(); }
void clearRunStopRequest() { stopRequested.store(false); }

void ObserverList::runStarted(const SeriesInfo& series) {
    for (RunObserver* observer : observers_) observer->runStarted(series);
}
void ObserverList::volumeDone(const VolumeDone& volume) {
    for (RunObserver* observer : observers_) observer->volumeDone(volume);
}
void ObserverList::hostLogLine(const std::string& line) {
    for (RunObserver* observer : observers_) observer->hostLogLine(line);
}
void ObserverList::runFinished(const RunFinished& run) {
    for (RunObserver* observer : observers_) observer->runFinished(run);
}

RunOutcome driveRun(KRVPluginInterface& plugin, const SeriesInfo& series, VolumeSource& source, MotionSource& motion,
                    RunObserver& observer, const RunSettings& settings) {
    RunOutcome outcome;

    HostState& state = host();
    state.targetFolder = settings.targetFolder;
    state.projectName = settings.projectName;
    state.beginRun(series.dims[0], series.dims[1], series.dims[2], series.expectedVolumes);
    observer.runStarted(series);

    MotionLogWriter motionLog(settings.targetFolder, settings.projectName);
    outcome.motionLogPath = motionLog.path();
    outcome.motionLogWritten = motionLog.isOpen();

    if (!plugin.executePreRun()) ++outcome.refusedSteps;
    const Clock::time_point start = Clock::now();
    std::vector<VolumeTiming> timings;
    VolumeMetricsTracker metrics;
    metrics.begin(static_cast<std::size_t>(state.voxelCount()));
    for (int32_t index = 0;; ++index) {
        if (runStopRequested()) {
            outcome.partial = true;
            outcome.endReason = "stopped on request";
            break;
        }
        const Clock::time_point asked = Clock::now();
        std::vector<int16_t> volume;
        std::string sourceError;
        const VolumeSource::Next next = source.next(volume, sourceError);
        if (next == VolumeSource::Next::EndOfRun) {
            if (runStopRequested()) {
                outcome.partial = true;
                outcome.endReason = "stopped on request";
            }
            break;
        }
        if (next == VolumeSource::Next::Failed) {
            outcome.partial = true;
            outcome.endReason = sourceError;
            break;
        }
        VolumeDone done;
        done.index = index;
        const Clock::time_point arrived = Clock::now();
        done.timing.arrivalSeconds = secondsBetween(start, arrived);
        done.timing.sourceSeconds = secondsBetween(asked, arrived);
        const VolumeArrival fromFile = source.lastArrival();
        if (fromFile.known) {
            done.timing.fromFile = true;
            done.timing.detectionSeconds = secondsBetween(fromFile.completed, fromFile.detected);
            done.timing.readingSeconds = secondsBetween(fromFile.detected, fromFile.read);
            done.timing.readAhead = fromFile.readAhead;
            done.timing.timeline = fromFile.timeline;
        }
        state.appendVolume(std::move(volume));

        const MotionResult estimate = motion.estimate(index, state.timeCourse.data());
        const Clock::time_point estimated = Clock::now();
        done.timing.motionSeconds = secondsBetween(arrived, estimated);
        done.motion = estimate.estimate;
        done.motionReliable = estimate.reliable;
        done.motionWarning = estimate.warning;
        if (index >= 1 && !motionLog.append(index, estimate.estimate)) outcome.motionLogWritten = false;

        const Clock::time_point before = Clock::now();
        if (!plugin.executePreStep()) ++outcome.refusedSteps;
        if (!plugin.executePostStep()) ++outcome.refusedSteps;
        done.timing.stepSeconds = secondsBetween(before, Clock::now());

        done.volume = state.volumes.back().data();
        done.metrics = metrics.next(done.volume, index >= 1 ? state.volumes[state.volumes.size() - 2].data() : nullptr,
                                    done.motion);
        done.maps = state.pluginMaps.empty() ? nullptr : state.pluginMaps.data();
        done.mapCount = state.mapCount();
        done.mapNames = &state.mapNames;
        outcome.volumeCount = index + 1;
        const Clock::time_point toOutputs = Clock::now();
        if (fromFile.known) done.timing.mapsSeconds = secondsBetween(fromFile.completed, toOutputs);
        observer.volumeDone(done);
        const Clock::time_point handled = Clock::now();
        done.timing.outputsSeconds = secondsBetween(toOutputs, handled);
        if (fromFile.known) done.timing.latencySeconds = secondsBetween(fromFile.completed, handled);
        timings.push_back(done.timing);
    }
    if (!plugin.executePostRun()) ++outcome.refusedSteps;

    RunFinished finished;
    finished.volumeCount = outcome.volumeCount;
    finished.partial = outcome.partial;
    finished.endReason = outcome.endReason;
    outcome.changedValues = source.changedValues();
    finished.changedValues = outcome.changedValues;
    finished.refusedSteps = outcome.refusedSteps;
    finished.host = &state;
    finished.timings = std::move(timings);
    observer.runFinished(finished);
    return outcome;
}

}  // namespace korvanth
