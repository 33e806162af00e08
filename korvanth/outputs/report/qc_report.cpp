#include "korvanth/outputs/report/qc_report.h"

#include "korvanth/outputs/report/drawing/montage_surface.h"
#include "korvanth/outputs/report/drawing/plot.h"
#include "korvanth/run/live_latency.h"
#include "korvanth/run/statistics.h"
#include "korvanth/run/units.h"
#include "korvanth/run/volume_source.h"
#include "tarvex/qc_conventions.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>

namespace fs = std::filesystem;

namespace korvanth {

namespace {

constexpr int mapCount = tarvex::pluginMapCount;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

const plot::Rgb axisColours[3] = {plot::rgbFromHex(0xd62728), plot::rgbFromHex(0x2ca02c), plot::rgbFromHex(0x1f77b4)};

std::string number(double value, int decimals) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+inf" : "&minus;inf";
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string escapeHtml(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

SurfacePtr drawPanels(int width, const std::vector<plot::Panel>& panels, int panelHeight) {
    const int height = panelHeight * static_cast<int>(panels.size());
    SurfacePtr surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height), cairo_surface_destroy);
    ContextPtr cr(cairo_create(surface.get()), cairo_destroy);
    cairo_set_source_rgb(cr.get(), 1.0, 1.0, 1.0);
    cairo_paint(cr.get());
    for (std::size_t k = 0; k < panels.size(); ++k)
        plot::drawPanel(cr.get(), 0.0, static_cast<double>(k) * panelHeight, width, panelHeight, panels[k]);
    cairo_surface_flush(surface.get());
    return surface;
}

bool savePng(cairo_surface_t* surface, const fs::path& path, std::string& error) {
    if (cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS &&
        cairo_surface_write_to_png(surface, path.string().c_str()) == CAIRO_STATUS_SUCCESS)
        return true;
    error = "cannot write " + path.string();
    return false;
}

std::string row(const std::string& label, const std::string& value, const std::string& note = "") {
    return "<tr><th>" + label + "</th><td>" + value + "</td><td class=\"note\">" + note + "</td></tr>\n";
}

// Why the flagged volumes' motion is not to be trusted, and what they carry
// instead: the first dozen reasons, then how many more there are.
std::string motionWarningList(const std::vector<std::string>& warnings) {
    constexpr std::size_t shown = 12;
    std::string list;
    std::size_t count = 0;
    for (const std::string& warning : warnings) {
        if (warning.empty()) continue;
        if (++count <= shown) list += "<li>" + escapeHtml(warning) + "</li>\n";
    }
    if (count > shown) list += "<li>and " + std::to_string(count - shown) + " more</li>\n";
    return list.empty() ? list : "<ul class=\"note\">\n" + list + "</ul>\n";
}

std::string figure(const std::string& id, const std::string& value) {
    return "<span id=\"" + id + "\">" + value + "</span>";
}

const char* const css = R"(
body { font: 15px/1.45 system-ui, "Segoe UI", "DejaVu Sans", sans-serif; color: #222; background: #f3f4f6; margin: 0; }
main { max-width: 1340px; margin: 0 auto; padding: 24px 28px 48px; }
header h1 { margin: 0 0 4px; font-size: 26px; }
header p { margin: 0; color: #555; }
section { background: #fff; border: 1px solid #dcdfe4; border-radius: 8px; padding: 16px 20px; margin-top: 20px; }
h2 { font-size: 18px; margin: 0 0 12px; }
table { border-collapse: collapse; }
th, td { text-align: left; padding: 5px 14px 5px 0; border-bottom: 1px solid #eceef1; vertical-align: top; }
td.num, th.num { text-align: right; font-variant-numeric: tabular-nums; }
td.note, p.note { color: #666; font-size: 13px; }
td.note { max-width: 270px; }
.columns { display: flex; gap: 40px; flex-wrap: wrap; align-items: flex-start; }
.partial { background: #fff3cd; border-left: 4px solid #d9a400; padding: 0.4em 0.8em; }
img { max-width: 100%; height: auto; display: block; }
.maps { display: grid; grid-template-columns: repeat(auto-fill, minmax(600px, 1fr)); gap: 18px; }
.maps figure { margin: 0; }
.empty { color: #8a5a00; background: #fff6e0; border: 1px solid #f0d9a8; padding: 10px 14px; border-radius: 6px; }
.warn { color: #a4000f; font-weight: 600; }
)";

// What the report shows, worked out once for its pictures and its text.
struct ReportFigures {
    MontageGrid grid;
    bool haveMaps = false;
    std::vector<MapSummary> summaries;
    std::vector<std::string> montageFiles;
    std::vector<double> fd;  // per volume; empty without motion
    bool compared = false;
    std::string unreliable;  // the flagged volumes, numbered from 1
    double fdMean = nan;
    int64_t fdAbove[2] = {0, 0};  // frames (from the second) with FD above each threshold
    std::vector<double> latencyMs;
    double trMs = 0.0;
    double medianLatency = nan, maxLatency = nan;
    // A live run's arrival to maps per volume (ms), the host's and the
    // read-ahead volumes' apart (NaN where the other is), and its timeline.
    std::vector<double> arrivalMs, readAheadMs;
    LiveLatency live;
    std::vector<TimelinePoint> timeline;
    TimelineSummary timelineSummary;

    const float* mapValues(const ReportInput& input, int map) const {
        return haveMaps ? input.maps.data() + static_cast<std::size_t>(map) * grid.voxels : nullptr;
    }
};

// A threshold as the report names it: "0.2", "0.5".
std::string thresholdText(double mm) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", mm);
    return text;
}

ReportFigures workOutFigures(const ReportInput& input) {
    ReportFigures f;
    f.grid = montageGrid(input.dims, input.voxelSizeMm, input.firstVolume);
    f.haveMaps = f.grid.voxels > 0 && input.maps.size() >= f.grid.voxels * mapCount;
    for (int map = 0; map < mapCount; ++map)
        f.summaries.push_back(summariseMap(
            f.grid, f.mapValues(input, map), map,
            map < static_cast<int>(input.mapNames.size()) ? input.mapNames[map] : "Map " + std::to_string(map + 1)));

    f.fd = input.motion.empty() ? std::vector<double>() : input.framewiseDisplacementMm;
    if (f.fd.size() != input.motion.size()) f.fd = framewiseDisplacement(input.motion);
    f.compared = !input.motion.empty() && input.comparedMotion.size() == input.motion.size();
    for (std::size_t t = 0; t < input.motionUnreliable.size(); ++t)
        if (input.motionUnreliable[t] != 0) f.unreliable += (f.unreliable.empty() ? "" : ", ") + std::to_string(t + 1);
    MotionTally tally(input.fdThresholds);
    for (double fd : f.fd) tally.add(fd);
    f.fdMean = tally.meanFd();
    f.fdAbove[0] = tally.above(0);
    f.fdAbove[1] = tally.above(1);

    for (double seconds : input.stepSeconds) f.latencyMs.push_back(seconds * 1000.0);
    f.trMs = input.repetitionTimeSeconds * 1000.0;
    std::vector<double> finiteLatency;
    std::copy_if(f.latencyMs.begin(), f.latencyMs.end(), std::back_inserter(finiteLatency),
                 [](double v) { return std::isfinite(v); });
    f.medianLatency = median(finiteLatency);
    f.maxLatency = finiteLatency.empty() ? nan : *std::max_element(finiteLatency.begin(), finiteLatency.end());
    for (const VolumeTiming& t : input.liveTimings) {
        f.arrivalMs.push_back(t.fromFile && !t.readAhead ? t.latencySeconds * 1000.0 : nan);
        f.readAheadMs.push_back(t.fromFile && t.readAhead ? t.latencySeconds * 1000.0 : nan);
    }
    f.live = summariseLatency(input.liveTimings);
    f.timeline = timelineOf(input.liveTimings);
    f.timelineSummary = summariseTimeline(f.timeline);
    return f;
}

// ---- pictures

bool drawMapPictures(const fs::path& out, const ReportInput& input, ReportFigures& f, std::string& error) {
    if (!f.haveMaps) return true;
    const std::vector<int32_t> slices = chooseSlices(f.grid);
    for (int map = 0; map < mapCount; ++map) {
        const std::string name = "map" + std::to_string(map + 1) + ".png";
        SurfacePtr image = drawMontage(f.grid, f.mapValues(input, map), map, f.summaries[map], slices);
        if (!savePng(image.get(), out / name, error)) return false;
        f.montageFiles.push_back(name);
    }
    return true;
}

// The translations and rotations; with a compared trace, it beside them in
// paler colours, then the differences.
std::vector<plot::Panel> motionPanels(const ReportInput& input, bool compared) {
    plot::Panel translations{"Translations", "volume", "mm", {}, {}, false, ""};
    plot::Panel rotations{"Rotations", "volume", "degrees", {}, {}, false, ""};
    const char* axes[3] = {"X", "Y", "Z"};
    for (int k = 0; k < 6; ++k) {
        plot::Series s{axes[k % 3], {}, axisColours[k % 3]};
        for (const MotionEstimate& m : input.motion) s.values.push_back(m[k]);
        (k < 3 ? translations : rotations).series.push_back(std::move(s));
    }
    std::vector<plot::Panel> panels{translations, rotations};
    if (!compared) return panels;
    plot::Panel differences[2] = {{"Translations: difference", "volume", "mm", {}, {}, false, ""},
                                  {"Rotations: difference", "volume", "degrees", {}, {}, false, ""}};
    for (int k = 0; k < 6; ++k) {
        const plot::Rgb c = axisColours[k % 3];
        plot::Series other{
            std::string(axes[k % 3]) + " compared", {}, {0.55 + 0.45 * c.r, 0.55 + 0.45 * c.g, 0.55 + 0.45 * c.b}};
        plot::Series difference{axes[k % 3], {}, c};
        for (std::size_t t = 0; t < input.motion.size(); ++t) {
            other.values.push_back(input.comparedMotion[t][k]);
            difference.values.push_back(input.motion[t][k] - input.comparedMotion[t][k]);
        }
        panels[static_cast<std::size_t>(k / 3)].series.push_back(std::move(other));
        differences[k / 3].series.push_back(std::move(difference));
    }
    panels.push_back(differences[0]);
    panels.push_back(differences[1]);
    panels[0].note = "paler: " + input.comparedSource;
    return panels;
}

bool drawMotionPictures(const fs::path& out, const ReportInput& input, const ReportFigures& f, std::string& error) {
    if (input.motion.empty()) return true;
    SurfacePtr motionImage = drawPanels(1200, motionPanels(input, f.compared), 290);
    if (!savePng(motionImage.get(), out / "motion.png", error)) return false;

    plot::Panel fdPanel{"", "volume", "mm", {}, {}, true, "rotations as mm of arc on a 50 mm sphere"};
    fdPanel.series.push_back({"FD", f.fd, plot::rgbFromHex(0x333399)});
    if (f.compared) {
        fdPanel.series.push_back(
            {"FD compared", framewiseDisplacement(input.comparedMotion), plot::rgbFromHex(0xa0a0d0)});
        fdPanel.note += "; paler: " + input.comparedSource;
    }
    const plot::Rgb thresholdColours[2] = {plot::rgbFromHex(0xe6a100), plot::rgbFromHex(0xd62728)};
    for (int k = 0; k < 2; ++k)
        fdPanel.lines.push_back(
            {input.fdThresholds[k], thresholdText(input.fdThresholds[k]) + " mm", thresholdColours[k]});
    SurfacePtr fdImage = drawPanels(1200, {fdPanel}, 300);
    return savePng(fdImage.get(), out / "fd.png", error);
}

// The plug-in's step per volume; a live run's arrival to maps beside it,
// the volumes read ahead in a colour of their own.
bool drawLatencyPicture(const fs::path& out, const ReportFigures& f, std::string& error) {
    if (f.latencyMs.empty()) return true;
    plot::Panel panel{"", "volume", "ms", {}, {}, true, ""};
    double largest = f.maxLatency;
    if (f.live.volumes + f.live.readAhead > 0) {
        panel.series.push_back({"arrival to maps", f.arrivalMs, plot::rgbFromHex(0x3867a8)});
        if (f.live.readAhead > 0)
            panel.series.push_back({"read ahead (the look-ahead's wait)", f.readAheadMs, plot::rgbFromHex(0xb0b0b0)});
        for (const std::vector<double>* ms : {&f.arrivalMs, &f.readAheadMs})
            for (double v : *ms)
                if (std::isfinite(v)) largest = std::max(largest, v);
    }
    panel.series.push_back({"plug-in step", f.latencyMs, plot::rgbFromHex(f.arrivalMs.empty() ? 0x1f77b4 : 0x2a7f86)});
    if (f.trMs > 0.0) {
        // The TR line only where the latencies stay readable beside it.
        if (!(largest * 4.0 < f.trMs))
            panel.lines.push_back({f.trMs, "TR " + number(f.trMs, 0) + " ms", plot::rgbFromHex(0xd62728)});
        else
            panel.note = "TR = " + number(f.trMs, 0) + " ms, far above this scale";
    }
    SurfacePtr image = drawPanels(1200, {panel}, 300);
    return savePng(image.get(), out / "latency.png", error);
}

// A live DICOM run's export lag per volume, the TR above the first
// volume's lag for scale.
bool drawTimelinePicture(const fs::path& out, const ReportFigures& f, std::string& error) {
    if (f.timelineSummary.timedVolumes == 0) return true;
    plot::Panel panel{"", "volume", "ms", {}, {}, false, ""};
    std::vector<double> lag;
    for (const TimelinePoint& p : f.timeline) lag.push_back(p.timed ? p.lagSeconds * 1000.0 : nan);
    panel.series.push_back({"export lag", lag, plot::rgbFromHex(0x8c564b)});
    if (f.trMs > 0.0) panel.lines.push_back({f.trMs, "1 TR", plot::rgbFromHex(0xd62728)});
    if (!f.timelineSummary.lateVolumes.empty()) panel.note = "more than a TR late: see the list below";
    SurfacePtr image = drawPanels(1200, {panel}, 260);
    return savePng(image.get(), out / "timeline.png", error);
}

// DVARS and the global signal, as the live view draws them.
bool drawSignalPicture(const fs::path& out, const ReportInput& input, std::string& error) {
    if (input.dvars.empty() && input.globalMean.empty()) return true;
    plot::Panel dvars{"DVARS", "volume", "intensity", {{"DVARS", input.dvars, plot::rgbFromHex(0x2ca02c)}},
                      {},      true,     ""};
    plot::Panel global{"Global signal",
                       "volume",
                       "intensity",
                       {{"mean over the mask", input.globalMean, plot::rgbFromHex(0x9467bd)}},
                       {},
                       false,
                       ""};
    SurfacePtr image = drawPanels(1200, {dvars, global}, 260);
    return savePng(image.get(), out / "signal.png", error);
}

// ---- the page, section by section

void writeHeader(std::ostream& html, const ReportInput& input, const ReportFigures& f) {
    const MontageGrid& g = f.grid;
    html << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>QC report: "
         << escapeHtml(input.title) << "</title>\n<style>" << css << "</style>\n</head>\n<body>\n<main>\n";
    html << "<header><h1>QC report</h1><p>" << escapeHtml(input.title);
    if (!input.pluginName.empty()) html << " &middot; plug-in " << escapeHtml(input.pluginName);
    html << " &middot; " << input.dims[0] << " &times; " << input.dims[1] << " &times; " << input.dims[2]
         << " voxels of " << number(g.voxelMm[0], 2) << " &times; " << number(g.voxelMm[1], 2) << " &times; "
         << number(g.voxelMm[2], 2) << " mm";
    if (input.repetitionTimeSeconds > 0.0) html << " &middot; TR " << number(input.repetitionTimeSeconds, 3) << " s";
    html << "</p>";
    if (!input.partial.empty())
        html << "<p class=\"partial\"><strong>Partial run:</strong> " << input.volumeCount << " of "
             << (input.expectedVolumes > 0 ? std::to_string(input.expectedVolumes) : std::string("?")) << " volumes ("
             << escapeHtml(input.partial) << ")</p>";
    if (input.changedValues > 0)
        html << "<p class=\"partial\"><strong>Values changed:</strong> "
             << escapeHtml(changedValuesNote(input.changedValues)) << "</p>";
    html << "</header>\n";
}

void writeSummaryFigures(std::ostream& html, const ReportInput& input, const ReportFigures& f) {
    const MontageGrid& g = f.grid;
    const MapSummary& tsnr = f.summaries[tsnrMap];
    html << "<section><h2>Summary</h2><div class=\"columns\">\n<table class=\"summary\">\n";
    html << row("Volumes", figure("volumes", std::to_string(input.volumeCount)));
    html << row("Voxels", figure("voxels", std::to_string(g.voxels)),
                std::to_string(input.dims[0]) + " &times; " + std::to_string(input.dims[1]) + " &times; " +
                    std::to_string(input.dims[2]));
    if (g.mask.empty())
        html << row("Masked voxels", figure("masked-voxels", "&mdash;"), "first volume not given");
    else
        html << row("Masked voxels", figure("masked-voxels", std::to_string(g.masked)),
                    number(g.voxels ? 100.0 * static_cast<double>(g.masked) / static_cast<double>(g.voxels) : 0.0, 1) +
                        "% of the volume; first-volume intensity &gt; " + std::to_string(tarvex::maskThreshold));
    html << row("Median tSNR in the mask", figure("median-tsnr", number(tsnr.medianValue * tarvex::tsnrScale, 2)),
                "map value " + figure("median-tsnr-map", number(tsnr.medianValue, 4)) +
                    ": the tSNR map holds tSNR / 30; finite values only");
    for (const EchoSummary& e : input.echoes)
        html << row("Median tSNR of echo " + std::to_string(e.echo),
                    figure("median-tsnr-echo-" + std::to_string(e.echo), number(e.tsnrMedian, 2)),
                    std::to_string(e.volumes) + " volumes in " + escapeHtml(e.file) + "; same mask");
    if (input.motion.empty()) {
        html << row("Framewise displacement", "&mdash;", "no motion estimates given");
    } else {
        html << row("Mean framewise displacement", figure("mean-fd", number(f.fdMean, 3)) + " mm",
                    "over volumes 2 to " + std::to_string(input.motion.size()));
        const std::string low = thresholdText(input.fdThresholds[0]), high = thresholdText(input.fdThresholds[1]);
        html << row("Frames with FD &gt; " + low + " mm", figure("fd-above-" + low, std::to_string(f.fdAbove[0])));
        html << row("Frames with FD &gt; " + high + " mm",
                    std::string(f.fdAbove[1] > 0 ? "<span class=\"warn\">" : "<span>") +
                        figure("fd-above-" + high, std::to_string(f.fdAbove[1])) + "</span>");
    }
    if (f.latencyMs.empty()) {
        html << row("Step latency", "&mdash;", "no step latencies recorded");
    } else {
        html << row("Median step latency", figure("median-latency-ms", number(f.medianLatency, 2)) + " ms");
        html << row("Maximum step latency", figure("max-latency-ms", number(f.maxLatency, 2)) + " ms",
                    f.trMs > 0.0 ? number(100.0 * f.maxLatency / f.trMs, 1) + "% of the TR" : "");
    }
    if (f.live.volumes > 0)
        html << row("Median arrival to maps",
                    figure("median-arrival-ms", number(f.live.medianSeconds * 1000.0, 1)) + " ms",
                    "over " + std::to_string(f.live.volumes) + " volumes after the look-ahead");
    if (f.live.readAhead > 0)
        html << row("Volumes read ahead", figure("read-ahead-volumes", std::to_string(f.live.readAhead)),
                    "before the run began: their wait is not the host's");
    html << "</table>\n";
}

void writeMapFigures(std::ostream& html, const ReportFigures& f) {
    html << "<table class=\"maps-table\">\n<tr><th>Map</th><th class=\"num\">largest |value|</th>"
            "<th class=\"num\">median</th><th class=\"num\">NaN</th><th class=\"num\">+inf</th>"
            "<th class=\"num\">&minus;inf</th></tr>\n";
    for (int map = 0; map < mapCount; ++map) {
        const MapSummary& s = f.summaries[map];
        html << "<tr><td>" << escapeHtml(s.name) << "</td><td class=\"num\">"
             << figure("max-abs-" + std::to_string(map), number(s.largestAbs, 3)) << "</td><td class=\"num\">"
             << number(s.medianValue, 3) << "</td><td class=\"num\">" << s.nans << "</td><td class=\"num\">"
             << s.plusInf << "</td><td class=\"num\">" << s.minusInf << "</td></tr>\n";
    }
    html << "</table>\n</div>\n<p class=\"note\">Map figures are over the voxels in the mask; largest and median over "
            "finite values. Maps 1&ndash;6 hold t-values of the motion coefficients, the constant's map its "
            "t-value / 100, the tSNR map tSNR / 30.</p></section>\n";
}

void writeMotionSections(std::ostream& html, const ReportInput& input, const ReportFigures& f) {
    html << "<section><h2>Head motion</h2>\n";
    if (input.motion.empty()) {
        html << "<p class=\"empty\">No motion estimates given.</p>\n";
    } else {
        if (!input.motionSource.empty())
            html << "<p class=\"note\">Motion " << escapeHtml(input.motionSource)
                 << (f.compared ? "; compared with " + escapeHtml(input.comparedSource) : std::string()) << ".</p>\n";
        if (!f.unreliable.empty())
            html << "<p class=\"warn\">Motion flagged unreliable for volumes "
                 << figure("motion-unreliable", f.unreliable) << ".</p>\n"
                 << motionWarningList(input.motionWarnings);
        html << "<img src=\"motion.png\" alt=\"Translations and rotations over time\">\n"
             << "</section>\n<section><h2>Framewise displacement</h2>\n<img src=\"fd.png\" alt=\"Framewise "
                "displacement over time\">\n"
             << "<p class=\"note\">Sum of the absolute changes of the six estimates from the previous volume; "
                "degrees &times; &pi;/180 &times; 50 mm.</p>\n";
    }
}

void writeLatencySections(std::ostream& html, const ReportInput& input, const ReportFigures& f) {
    const bool arrivals = f.live.volumes + f.live.readAhead > 0;
    html << "</section>\n<section><h2>" << (arrivals ? "Latency" : "Step latency") << "</h2>\n";
    if (f.latencyMs.empty())
        html << "<p class=\"empty\">No step latencies recorded.</p>\n";
    else
        html << "<img src=\"latency.png\" alt=\"Latency over time\">\n<p class=\"note\">"
             << (arrivals ? "From each volume complete on the host (its last file written) until its maps were "
                            "handed to the outputs; and the "
                          : "The ")
             << "time the plug-in spent on each volume (pre-step and post-step).</p>\n";
    const ReportInput::Latency& live = input.latency;
    if (!live.total.empty()) {
        // Median and 95th percentile (nearest rank) of each part, in ms.
        const auto percentile = [](const std::vector<double>& values, double p) {
            return nearestRankPercentile(values, p) * 1000.0;
        };
        html << "</section>\n<section><h2>Live latency</h2>\n<table class=\"summary\">\n"
                "<tr><th></th><th class=\"num\">median ms</th><th class=\"num\">95th percentile ms</th></tr>\n";
        const std::pair<const char*, const std::vector<double>*> parts[] = {
            {"File written to maps handed to the outputs", &live.total},
            {"Detection", &live.detection},
            {"Reading", &live.reading},
            {"Motion estimate", &live.motion},
            {"Plug-in step", &live.step},
            {"Outputs", &live.outputs}};
        for (const auto& [name, values] : parts)
            html << "<tr><td>" << name << "</td><td class=\"num\">" << number(median(*values) * 1000.0, 2)
                 << "</td><td class=\"num\">" << number(percentile(*values, 0.95), 2) << "</td></tr>\n";
        html << "</table>\n<p class=\"note\">From each volume file's last write (its modification time) until "
                "its maps were in host memory and handed to the outputs; detection waits for the file to stop "
                "changing between two polls of the folder.";
        if (f.trMs > 0.0)
            html << " Median "
                 << figure("median-live-latency-pct-tr", number(median(live.total) * 1000.0 * 100.0 / f.trMs, 1))
                 << "% of the TR, 95th percentile " << number(percentile(live.total, 0.95) * 100.0 / f.trMs, 1) << "%.";
        html << "</p>\n";
    }
    const std::string line = latencyLine(f.live, input.repetitionTimeSeconds);
    if (!line.empty()) html << "<p class=\"note\">" << figure("arrival-latency", escapeHtml(line)) << ".</p>\n";
}

void writeTimelineSection(std::ostream& html, const ReportFigures& f) {
    const int32_t live = f.live.volumes + f.live.readAhead;
    if (live == 0) return;
    html << "</section>\n<section><h2>Arrival timeline</h2>\n";
    const TimelineSummary& t = f.timelineSummary;
    if (t.timedVolumes > 0)
        html << "<img src=\"timeline.png\" alt=\"Export lag over time\">\n";
    else
        html << "<p class=\"empty\">";
    html << figure("arrival-timeline", escapeHtml(timelineLine(t, live))) << ".";
    html << (t.timedVolumes > 0 ? "\n" : "</p>\n");
    if (!t.lateVolumes.empty()) {
        html << "<p class=\"warn\">Came more than a TR later than the volume before them: volumes ";
        std::string late;
        for (int32_t v : t.lateVolumes) late += (late.empty() ? "" : ", ") + std::to_string(v);
        html << figure("late-volumes", late) << ".</p>\n";
    }
    html << "<p class=\"note\">The export lag of a volume is how much later than the first volume it was "
            "complete on the host (its last file written), beyond how much later it was acquired (the scanner's "
            "acquisition time of its earliest slice): the two clocks need not agree. The jitter is the lag's "
            "spread, largest minus smallest.</p>\n";
}

void writeSignalSection(std::ostream& html, const ReportInput& input) {
    if (input.dvars.empty() && input.globalMean.empty()) return;
    html << "</section>\n<section><h2>DVARS and global signal</h2>\n<img src=\"signal.png\" alt=\"DVARS and the "
            "global signal over time\">\n<p class=\"note\">DVARS: the root mean square over the mask of the "
            "intensity change from the volume before; the global signal: the mean over the mask.</p>\n";
}

void writeMapsSection(std::ostream& html, const ReportFigures& f) {
    html << "</section>\n<section><h2>Maps</h2>\n";
    if (f.montageFiles.empty()) {
        html << "<p class=\"empty\">No maps given.</p>\n";
    } else {
        html << "<p class=\"note\">t-maps on a symmetric scale of &plusmn; the 99th percentile of |t| in the mask, "
                "tSNR from 0 to its 99th percentile; values beyond are shown at the ends of the scale. "
                "Counts in the legends are of masked voxels.</p>\n<div class=\"maps\">\n";
        for (int map = 0; map < mapCount; ++map)
            html << "<figure><img src=\"" << f.montageFiles[map] << "\" alt=\"" << escapeHtml(f.summaries[map].name)
                 << "\"></figure>\n";
        html << "</div>\n";
    }
    html << "</section>\n";
}

}  // namespace

bool writeQcReport(const std::string& folder, const ReportInput& input, std::string& error) {
    const fs::path out(folder);
    std::error_code code;
    fs::create_directories(out, code);
    if (code || !fs::is_directory(out)) {
        error = "cannot create the report folder " + folder + (code ? ": " + code.message() : "");
        return false;
    }
    ReportFigures figures = workOutFigures(input);
    if (!drawMapPictures(out, input, figures, error) || !drawMotionPictures(out, input, figures, error) ||
        !drawLatencyPicture(out, figures, error) || !drawTimelinePicture(out, figures, error) ||
        !drawSignalPicture(out, input, error))
        return false;

    std::ostringstream html;
    writeHeader(html, input, figures);
    writeSummaryFigures(html, input, figures);
    writeMapFigures(html, figures);
    writeMotionSections(html, input, figures);
    writeSignalSection(html, input);
    writeLatencySections(html, input, figures);
    writeTimelineSection(html, figures);
    writeMapsSection(html, figures);
    html << "</main>\n</body>\n</html>\n";

    const fs::path htmlPath = out / "report.html";
    std::ofstream file(htmlPath, std::ios::binary);
    file << html.str();
    file.close();
    if (!file) {
        error = "cannot write " + htmlPath.string();
        return false;
    }
    return true;
}

}  // namespace korvanth
