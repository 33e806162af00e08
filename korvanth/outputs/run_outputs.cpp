#include "korvanth/outputs/run_outputs.h"

#include "korvanth/outputs/json_text.h"

#include "korvanth/run/live_latency.h"
#include "korvanth/run/units.h"
#include "tarvex/qc_conventions.h"

#include <algorithm>
#include <cmath>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace korvanth {

bool writeTimingCsv(const std::string& path, const std::vector<VolumeTiming>& timings,
                    const std::vector<uint8_t>& motionUnreliable, double repetitionTimeSeconds, std::string& error) {
    std::ofstream out(path, std::ios::binary);
    out << "volume,step_seconds,longer_than_tr,latency_seconds,detection_seconds,reading_seconds,motion_seconds,"
           "outputs_seconds,motion_unreliable,read_ahead,scan_seconds,host_seconds,lag_seconds,late\n";
    for (std::size_t i = 0; i < timings.size(); ++i) {
        const VolumeTiming& t = timings[i];
        char line[256];
        std::snprintf(line, sizeof line, "%llu,%.9f,%d,", static_cast<unsigned long long>(i + 1), t.stepSeconds,
                      repetitionTimeSeconds > 0.0 && t.stepSeconds > repetitionTimeSeconds ? 1 : 0);
        out << line;
        if (t.fromFile) {
            std::snprintf(line, sizeof line, "%.9f,%.9f,%.9f,", t.latencySeconds, t.detectionSeconds, t.readingSeconds);
            out << line;
        } else {
            out << ",,,";
        }
        std::snprintf(line, sizeof line, "%.9f,%.9f,%d,%d", t.motionSeconds, t.outputsSeconds,
                      i < motionUnreliable.size() ? motionUnreliable[i] : 0, t.readAhead ? 1 : 0);
        out << line;
        if (t.timeline.timed) {
            std::snprintf(line, sizeof line, ",%.9f,%.9f,%.9f,%d\n", t.timeline.scanSeconds, t.timeline.hostSeconds,
                          t.timeline.lagSeconds, t.timeline.late ? 1 : 0);
            out << line;
        } else {
            out << ",,,,\n";
        }
    }
    out.close();
    if (!out) error = path + ": cannot write the step timings";
    return static_cast<bool>(out);
}

EchoSummary summarizeEcho(const EchoSeries& echo, const std::vector<float>& firstVolume) {
    EchoSummary summary;
    summary.echo = echo.echo;
    summary.volumes = static_cast<int32_t>(echo.volumes.size());
    summary.file = "bold_echo-" + std::to_string(echo.echo) + ".nii.gz";
    std::vector<double> tsnr;
    const double n = static_cast<double>(echo.volumes.size());
    for (std::size_t v = 0; v < firstVolume.size() && n > 1.0; ++v) {
        if (!(firstVolume[v] > tarvex::maskThreshold)) continue;
        double sum = 0.0;
        for (const std::vector<int16_t>& volume : echo.volumes) sum += volume[v];
        const double mean = sum / n;
        double squares = 0.0;
        for (const std::vector<int16_t>& volume : echo.volumes) squares += (volume[v] - mean) * (volume[v] - mean);
        const double value = mean / std::sqrt(squares / (n - 1.0));
        if (std::isfinite(value)) tsnr.push_back(value);
    }
    summary.tsnrMedian = std::nan("");
    if (tsnr.empty()) return summary;
    const std::size_t half = tsnr.size() / 2;
    std::nth_element(tsnr.begin(), tsnr.begin() + static_cast<std::ptrdiff_t>(half), tsnr.end());
    summary.tsnrMedian = tsnr[half];
    if (tsnr.size() % 2 == 0)
        summary.tsnrMedian =
            0.5 * (*std::max_element(tsnr.begin(), tsnr.begin() + static_cast<std::ptrdiff_t>(half)) + tsnr[half]);
    return summary;
}

namespace {
// A live run's latency and arrival timeline, as the README documents the keys.
void writeArrivals(std::ostream& out, const MapsDescription& d) {
    const LiveLatency l = summariseLatency(d.timings);
    if (l.volumes + l.readAhead == 0) return;
    const auto ms = [](double seconds) { return jsonText(jsonNumber(seconds * 1000.0)); };
    out << ",\n  \"latency\": {\"volumes\": " << l.volumes << ", \"median_ms\": " << ms(l.medianSeconds)
        << ", \"p95_ms\": " << ms(l.p95Seconds) << ", \"tr_ms\": " << ms(d.repetitionTimeSeconds)
        << ", \"read_ahead_volumes\": " << l.readAhead << ", \"read_ahead_median_ms\": " << ms(l.readAheadMedianSeconds)
        << "}";
    const TimelineSummary t = summariseTimeline(timelineOf(d.timings));
    if (t.timedVolumes == 0) {
        out << ",\n  \"arrival_timeline\": null,\n  \"arrival_timeline_absent\": " << jsonString(timelineAbsence(t));
        return;
    }
    out << ",\n  \"arrival_timeline\": {\"timed_volumes\": " << t.timedVolumes
        << ", \"median_lag_ms\": " << ms(t.medianLagSeconds) << ", \"largest_lag_ms\": " << ms(t.largestLagSeconds)
        << ", \"jitter_ms\": " << ms(t.jitterSeconds) << ", \"late_volumes\": [";
    for (std::size_t i = 0; i < t.lateVolumes.size(); ++i) out << (i == 0 ? "" : ", ") << t.lateVolumes[i];
    out << "]}";
}
}  // namespace

bool writeMapsJson(const std::string& path, const MapsDescription& d, std::string& error) {
    std::ofstream out(path, std::ios::binary);
    out << "{\n  \"source\": " << jsonString(d.source) << ",\n  \"plugin\": " << jsonString(d.pluginName)
        << ",\n  \"dims\": [" << d.dims[0] << ", " << d.dims[1] << ", " << d.dims[2]
        << "],\n  \"volumes\": " << d.volumeCount << ",\n  \"complete\": " << (d.complete ? "true" : "false");
    if (!d.complete) out << ",\n  \"end_reason\": " << jsonString(d.endReason);
    out << ",\n  \"changed_values\": " << d.changedValues;
    out << ",\n  \"layout\": \"map m, voxel v at float32 index v + m * voxelCount; x fastest\",\n"
        << "  \"maps\": [";
    for (std::size_t m = 0; m < d.mapNames.size(); ++m)
        out << (m == 0 ? "\n" : ",\n") << "    {\"index\": " << m << ", \"name\": " << jsonString(d.mapNames[m]) << "}";
    out << "\n  ]";
    if (!d.echoes.empty()) out << ",\n  \"echoes\": [";
    for (std::size_t e = 0; e < d.echoes.size(); ++e)
        out << (e == 0 ? "\n" : ",\n") << "    {\"echo\": " << d.echoes[e].echo
            << ", \"file\": " << jsonString(d.echoes[e].file) << ", \"volumes\": " << d.echoes[e].volumes
            << ", \"tsnr_median\": " << jsonText(jsonNumber(d.echoes[e].tsnrMedian)) << "}";
    if (!d.echoes.empty()) out << "\n  ]";
    writeArrivals(out, d);
    out << "\n}\n";
    out.close();
    if (!out) error = path + ": cannot write the map names";
    return static_cast<bool>(out);
}

bool writePlainMotionFile(const std::string& path, const std::vector<MotionEstimate>& motion, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        error = path + ": cannot create the motion file";
        return false;
    }
    std::fprintf(file, "# dx dy dz (mm) rx ry rz (degrees), one row per volume\n");
    for (const MotionEstimate& m : motion)
        std::fprintf(file, "%.17g %.17g %.17g %.17g %.17g %.17g\n", m[0], m[1], m[2], m[3], m[4], m[5]);
    const bool written = std::ferror(file) == 0;
    if (std::fclose(file) != 0 || !written) {
        error = path + ": cannot write the motion file";
        return false;
    }
    return true;
}

bool writeSpmMotionFile(const std::string& path, const std::vector<MotionEstimate>& motion, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        error = path + ": cannot create the motion file";
        return false;
    }
    for (const MotionEstimate& m : motion)
        std::fprintf(file, "%16.10e %16.10e %16.10e %16.10e %16.10e %16.10e\n", m[0], m[1], m[2],
                     radiansFromDegrees(m[3]), radiansFromDegrees(m[4]), radiansFromDegrees(m[5]));
    const bool written = std::ferror(file) == 0;
    if (std::fclose(file) != 0 || !written) {
        error = path + ": cannot write the motion file";
        return false;
    }
    return true;
}

}  // namespace korvanth
