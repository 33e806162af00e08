#include "korvanth/outputs/live/live_json.h"

#include "korvanth/outputs/json_text.h"
#include "korvanth/run/live_latency.h"
#include "korvanth/run/motion_log_writer.h"
#include "korvanth/run/statistics.h"
#include "tarvex/qc_conventions.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iterator>

namespace korvanth {

namespace {
// A motion value as the motion log has it, so that both give the same number.
Json motionValue(double value) {
    if (!std::isfinite(value)) return nullptr;
    return std::strtod(formatMotionValue(value).c_str(), nullptr);
}

std::vector<double> finiteOnly(const std::vector<double>& values) {
    std::vector<double> finite;
    std::copy_if(values.begin(), values.end(), std::back_inserter(finite), [](double v) { return std::isfinite(v); });
    return finite;
}

// Kept event data, already JSON, as one array.
std::string joined(const std::vector<SharedText>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) out += ',';
        out += *items[i];
    }
    return out + ']';
}

// Per threshold: the low-motion volumes, the time they make, the time still
// missing of the target, and the scanning that would take at the rate so far
// (null when none was collected yet).
Json lowMotionJson(const LiveFigures& figures) {
    Json all = Json::array();
    const MotionTally& tally = *figures.motion;
    const double target = figures.targetMinutes * 60.0;
    for (int k = 0; k < 2; ++k) {
        const auto under = tally.atOrBelow(k);
        const double collected = static_cast<double>(under) * figures.repetitionTimeSeconds;
        const LowMotionOutlook outlook = lowMotionOutlook(under, tally.volumes(), collected, target);
        Json one;
        one["threshold_mm"] = jsonNumber(tally.threshold(k));
        one["volumes"] = under;
        one["seconds"] = jsonNumber(collected);
        one["missing_s"] = jsonNumber(outlook.missingSeconds);
        one["to_scan_s"] = outlook.scanningKnown ? jsonNumber(outlook.scanningSeconds) : Json(nullptr);
        all.push_back(one);
    }
    return all;
}
}  // namespace

std::string pageSettingsJson(const FdThresholds& fdThresholds, double targetMinutes) {
    Json json;
    json["fd_thresholds_mm"] = {jsonNumber(fdThresholds[0]), jsonNumber(fdThresholds[1])};
    json["target_minutes"] = jsonNumber(targetMinutes);
    json["map_count"] = tarvex::pluginMapCount;
    return jsonText(json);
}

std::string runEventJson(const SeriesInfo& series, const FdThresholds& fdThresholds, double targetMinutes) {
    Json json;
    json["title"] = series.title;
    json["dims"] = {series.dims[0], series.dims[1], series.dims[2]};
    json["voxel_mm"] = {jsonNumber(series.voxelSizeMm[0]), jsonNumber(series.voxelSizeMm[1]),
                        jsonNumber(series.voxelSizeMm[2])};
    json["tr_s"] = jsonNumber(series.repetitionTimeSeconds);
    json["expected_volumes"] = series.expectedVolumes > 0 ? Json(series.expectedVolumes) : Json(nullptr);
    json["fd_thresholds_mm"] = {jsonNumber(fdThresholds[0]), jsonNumber(fdThresholds[1])};
    json["target_minutes"] = jsonNumber(targetMinutes);
    return jsonText(json);
}

std::string volumeEventJson(const VolumeDone& volume, const LiveFigures& figures) {
    Json json;
    json["index"] = volume.index;
    Json motion = Json::array();
    for (int k = 0; k < 6; ++k) motion.push_back(motionValue(volume.motion[k]));
    json["motion"] = motion;
    json["motion_reliable"] = volume.motionReliable;
    json["motion_warning"] = volume.motionWarning;
    json["fd"] = jsonNumber(volume.metrics.framewiseDisplacementMm);
    json["dvars"] = jsonNumber(volume.metrics.dvars);
    json["global_mean"] = jsonNumber(volume.metrics.globalMean);
    json["latency_ms"] = jsonNumber(volume.timing.stepSeconds * 1000.0);
    json["motion_ms"] = jsonNumber(volume.timing.motionSeconds * 1000.0);
    json["arrival_s"] = jsonNumber(volume.timing.arrivalSeconds);
    const VolumeTiming& t = volume.timing;
    json["arrival_ms"] = t.fromFile ? jsonNumber(t.mapsSeconds * 1000.0) : Json(nullptr);
    json["read_ahead"] = t.readAhead;
    json["lag_ms"] = t.timeline.timed ? jsonNumber(t.timeline.lagSeconds * 1000.0) : Json(nullptr);
    json["late"] = t.timeline.late;
    json["repeats_time"] = t.timeline.repeatsTime;
    if (figures.motion != nullptr) {
        const MotionTally& tally = *figures.motion;
        json["fd_mean"] = jsonNumber(tally.meanFd());
        json["fd_max"] = jsonNumber(tally.largestFd());
        json["fd_above"] = {tally.above(0), tally.above(1)};
        json["low_motion"] = lowMotionJson(figures);
    }
    return jsonText(json);
}

std::string logEventJson(const std::string& line) { return jsonText(Json{{"line", line}}); }

std::string endEventJson(const RunFinished& run, double elapsedSeconds, const std::string& reportPath,
                         const std::vector<double>& dvars, const std::vector<double>& latencyMs,
                         double repetitionTimeSeconds) {
    Json json;
    json["volumes"] = run.volumeCount;
    json["partial"] = run.partial;
    json["reason"] = run.endReason;
    json["refused_steps"] = run.refusedSteps;
    json["changed_values"] = run.changedValues;
    json["elapsed_s"] = jsonNumber(elapsedSeconds);
    json["report"] = reportPath.empty() ? Json(nullptr) : Json(reportPath);
    json["dvars_median"] = jsonNumber(median(finiteOnly(dvars)));
    const std::vector<double> latency = finiteOnly(latencyMs);
    json["latency_median_ms"] = jsonNumber(median(latency));
    json["latency_max_ms"] =
        latency.empty() ? Json(nullptr) : jsonNumber(*std::max_element(latency.begin(), latency.end()));
    json["slow_steps"] =
        std::count_if(latency.begin(), latency.end(), [&](double ms) { return ms > repetitionTimeSeconds * 1000.0; });
    const LiveLatency arrival = summariseLatency(run.timings);
    json["arrival_volumes"] = arrival.volumes;
    json["arrival_median_ms"] = jsonNumber(arrival.medianSeconds * 1000.0);
    json["read_ahead_volumes"] = arrival.readAhead;
    const TimelineSummary timeline = summariseTimeline(timelineOf(run.timings));
    json["timed_volumes"] = timeline.timedVolumes;
    json["lag_median_ms"] = jsonNumber(timeline.medianLagSeconds * 1000.0);
    json["jitter_ms"] = jsonNumber(timeline.jitterSeconds * 1000.0);
    json["late_volumes"] = timeline.lateVolumes;
    json["timeline_absent"] = timelineAbsence(timeline);
    return jsonText(json);
}

std::string stateJson(const RunRecord& record, int32_t mapsVolume) {
    // The kept events are valid JSON already: they are spliced in as they were sent.
    return "{\"state\":" + jsonString(record.state) + ",\"run\":" + (record.run ? *record.run : "null") +
           ",\"volumes\":" + joined(record.volumes) + ",\"log\":" + joined(record.log) +
           ",\"end\":" + (record.end ? *record.end : "null") +
           ",\"last_event_id\":" + std::to_string(record.lastEventId) +
           ",\"maps_volume\":" + (mapsVolume >= 0 ? std::to_string(mapsVolume) : "null") +
           ",\"clients\":" + std::to_string(record.clients) +
           ",\"dropped_clients\":" + std::to_string(record.droppedClients) + "}\n";
}

}  // namespace korvanth
