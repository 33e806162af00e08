#include "korvanth/outputs/qc_report.h"

#include "korvanth/outputs/plot.h"
#include "korvanth/run/units.h"

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

constexpr int mapCount = 8;
constexpr int motionMapCount = 6;
constexpr int tsnrMap = 7;
constexpr float maskThreshold = 100.0f;
constexpr int maxSlices = 12;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

const plot::Rgb nanColour = plot::rgbFromHex(0xff00ff);
const plot::Rgb nanStripe = plot::rgbFromHex(0x6e6e6e);
const plot::Rgb plusInfColour = plot::rgbFromHex(0x00ff3c);
const plot::Rgb minusInfColour = plot::rgbFromHex(0xffe600);
const plot::Rgb outsideColour = plot::rgbFromHex(0x1c1c1c);
const plot::Rgb axisColours[3] = {plot::rgbFromHex(0xd62728), plot::rgbFromHex(0x2ca02c), plot::rgbFromHex(0x1f77b4)};

using SurfacePtr = std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)>;
using ContextPtr = std::unique_ptr<cairo_t, decltype(&cairo_destroy)>;

// The median of the values; NaN when there are none.
double median(std::vector<double> values) {
    if (values.empty()) return nan;
    const std::size_t mid = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + mid, values.end());
    const double upper = values[mid];
    if (values.size() % 2 == 1) return upper;
    const double lower = *std::max_element(values.begin(), values.begin() + mid);
    return (lower + upper) / 2.0;
}

// The value below which a fraction `q` of the values lie (nearest rank).
double quantile(std::vector<double> values, double q) {
    if (values.empty()) return nan;
    const auto rank = static_cast<std::size_t>(std::floor(q * static_cast<double>(values.size() - 1)));
    std::nth_element(values.begin(), values.begin() + rank, values.end());
    return values[rank];
}

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
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

// What the report says about one map, over the masked voxels.
struct MapSummary {
    std::string name;
    bool diverging = true;
    double scaleLo = -1.0, scaleHi = 1.0;  // colour scale, values beyond are clamped
    double largestAbs = nan;               // largest |finite value|
    double medianValue = nan;              // median of the finite values
    int64_t finite = 0, nans = 0, plusInf = 0, minusInf = 0;
};

struct Geometry {
    int32_t dims[3] = {0, 0, 0};
    double voxelMm[3] = {1.0, 1.0, 1.0};
    std::size_t voxels = 0;
    std::vector<char> mask;  // empty when the first volume is missing
    int64_t masked = 0;
    bool haveMaps = false;
};

MapSummary summariseMap(const ReportInput& input, const Geometry& g, int map) {
    MapSummary s;
    s.name = map < static_cast<int>(input.mapNames.size()) ? input.mapNames[map] : "Map " + std::to_string(map + 1);
    s.diverging = map != tsnrMap;
    if (!g.haveMaps) return s;
    const float* values = input.maps.data() + static_cast<std::size_t>(map) * g.voxels;
    std::vector<double> finite;
    for (std::size_t i = 0; i < g.voxels; ++i) {
        if (g.mask.empty() || !g.mask[i]) continue;
        const double v = values[i];
        if (std::isnan(v)) ++s.nans;
        else if (std::isinf(v)) ++(v > 0 ? s.plusInf : s.minusInf);
        else finite.push_back(v);
    }
    s.finite = static_cast<int64_t>(finite.size());
    if (finite.empty()) return s;
    std::vector<double> magnitudes(finite.size());
    std::transform(finite.begin(), finite.end(), magnitudes.begin(), [](double v) { return std::fabs(v); });
    s.largestAbs = *std::max_element(magnitudes.begin(), magnitudes.end());
    s.medianValue = median(finite);
    if (s.diverging) {
        double robust = quantile(magnitudes, 0.99);
        if (!(robust > 0.0)) robust = s.largestAbs > 0.0 ? s.largestAbs : 1.0;
        s.scaleLo = -robust;
        s.scaleHi = robust;
    } else {
        double robust = quantile(finite, 0.99);
        if (!(robust > 0.0)) robust = 1.0;
        s.scaleLo = 0.0;
        s.scaleHi = robust;
    }
    return s;
}

// Up to maxSlices axial slices, evenly spaced over those that hold masked voxels.
std::vector<int32_t> chooseSlices(const Geometry& g) {
    int32_t first = 0, last = g.dims[2] - 1;
    if (g.masked > 0) {
        const std::size_t perSlice = static_cast<std::size_t>(g.dims[0]) * g.dims[1];
        first = g.dims[2];
        last = -1;
        for (int32_t z = 0; z < g.dims[2]; ++z)
            for (std::size_t i = 0; i < perSlice; ++i)
                if (g.mask[z * perSlice + i]) {
                    first = std::min(first, z);
                    last = std::max(last, z);
                    break;
                }
    }
    const int32_t available = last - first + 1;
    const int32_t count = std::min(available, maxSlices);
    std::vector<int32_t> slices;
    for (int32_t k = 0; k < count; ++k)
        slices.push_back(count == 1 ? first
                                    : first + static_cast<int32_t>(std::lround(
                                                  static_cast<double>(k) * (available - 1) / (count - 1))));
    return slices;
}

SurfacePtr makeHatch() {
    SurfacePtr tile(cairo_image_surface_create(CAIRO_FORMAT_RGB24, 8, 8), cairo_surface_destroy);
    ContextPtr cr(cairo_create(tile.get()), cairo_destroy);
    plot::setColour(cr.get(), nanStripe);
    cairo_paint(cr.get());
    plot::setColour(cr.get(), nanColour);
    cairo_set_line_width(cr.get(), 2.6);
    for (double offset : {-8.0, 0.0, 8.0}) {
        cairo_move_to(cr.get(), offset, 8.0);
        cairo_line_to(cr.get(), offset + 8.0, 0.0);
    }
    cairo_stroke(cr.get());
    return tile;
}

void swatch(cairo_t* cr, double x, double y, double size, const plot::Rgb* colour, cairo_pattern_t* pattern) {
    cairo_rectangle(cr, x, y, size, size);
    if (pattern) cairo_set_source(cr, pattern);
    else plot::setColour(cr, *colour);
    cairo_fill_preserve(cr);
    plot::setColour(cr, plot::rgbFromHex(0x888888));
    cairo_set_line_width(cr, 1.0);
    cairo_stroke(cr);
}

plot::Rgb valueColour(const MapSummary& s, double v) {
    if (s.diverging) return plot::divergingColour(v / s.scaleHi);
    return plot::sequentialColour((v - s.scaleLo) / (s.scaleHi - s.scaleLo));
}

// The montage of one map: slices, colour bar and the legend of non-finite values.
SurfacePtr drawMontage(const ReportInput& input, const Geometry& g, int map, const MapSummary& s,
                       const std::vector<int32_t>& slices) {
    const double width = 640.0, pad = 10.0, titleHeight = 36.0, barArea = 96.0, labelHeight = 16.0,
                 legendHeight = 40.0;
    const int columns = std::min<int>(4, static_cast<int>(slices.size()));
    const int rows = (static_cast<int>(slices.size()) + columns - 1) / columns;
    const double gridWidth = width - barArea - pad;
    const double cellWidth = (gridWidth - pad * (columns + 1)) / columns;
    const double extentX = g.dims[0] * g.voxelMm[0], extentY = g.dims[1] * g.voxelMm[1];
    const double scale = std::min(cellWidth / extentX, 1.4 * cellWidth / extentY);  // pixels per mm
    const double sliceW = extentX * scale, sliceH = extentY * scale;
    const double gridHeight = rows * (sliceH + labelHeight + pad);
    const int height = static_cast<int>(std::ceil(titleHeight + std::max(gridHeight, 170.0) + legendHeight + pad));

    SurfacePtr surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, static_cast<int>(width), height),
                       cairo_surface_destroy);
    ContextPtr owner(cairo_create(surface.get()), cairo_destroy);
    cairo_t* cr = owner.get();
    cairo_set_source_rgb(cr, 1.0, 1.0, 1.0);
    cairo_paint(cr);
    const plot::Rgb ink = plot::rgbFromHex(0x222222);

    plot::setColour(cr, ink);
    plot::drawText(cr, s.name, pad, 24.0, 16.0, 0.0, 0.0, true);
    const std::string unit = map == tsnrMap ? "map value = tSNR / 30" : map == 6 ? "map value = t / 100" : "t-value";
    plot::setColour(cr, plot::rgbFromHex(0x666666));
    plot::drawText(cr, unit + ", axial slices (x right, y up)", width - pad, 24.0, 12.0, 1.0, 0.0);

    SurfacePtr hatchTile = makeHatch();
    cairo_pattern_t* hatch = cairo_pattern_create_for_surface(hatchTile.get());
    cairo_pattern_set_extend(hatch, CAIRO_EXTEND_REPEAT);

    const float* values = input.maps.data() + static_cast<std::size_t>(map) * g.voxels;
    const std::size_t perSlice = static_cast<std::size_t>(g.dims[0]) * g.dims[1];
    const double voxelW = g.voxelMm[0] * scale, voxelH = g.voxelMm[1] * scale;
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
    for (std::size_t k = 0; k < slices.size(); ++k) {
        const int column = static_cast<int>(k) % columns, row = static_cast<int>(k) / columns;
        const double x0 = std::round(pad + column * (cellWidth + pad) + (cellWidth - sliceW) / 2.0);
        const double y0 = std::round(titleHeight + row * (sliceH + labelHeight + pad));
        plot::setColour(cr, outsideColour);
        cairo_rectangle(cr, x0, y0, std::round(sliceW), std::round(sliceH));
        cairo_fill(cr);
        const std::size_t base = slices[k] * perSlice;
        for (int32_t y = 0; y < g.dims[1]; ++y) {
            const double top = std::round(y0 + (g.dims[1] - 1 - y) * voxelH);
            const double bottom = std::round(y0 + (g.dims[1] - y) * voxelH);
            for (int32_t x = 0; x < g.dims[0]; ++x) {
                const std::size_t i = base + static_cast<std::size_t>(y) * g.dims[0] + x;
                if (g.mask.empty() || !g.mask[i]) continue;
                const double left = std::round(x0 + x * voxelW), right = std::round(x0 + (x + 1) * voxelW);
                const double v = values[i];
                if (std::isnan(v)) cairo_set_source(cr, hatch);
                else if (std::isinf(v)) plot::setColour(cr, v > 0 ? plusInfColour : minusInfColour);
                else plot::setColour(cr, valueColour(s, v));
                cairo_rectangle(cr, left, top, right - left, bottom - top);
                cairo_fill(cr);
            }
        }
        plot::setColour(cr, ink);
        cairo_set_antialias(cr, CAIRO_ANTIALIAS_DEFAULT);
        plot::drawText(cr, "z = " + std::to_string(slices[k]), x0 + sliceW / 2.0, y0 + sliceH + 12.0, 11.0, 0.5, 0.0);
        cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
    }
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_DEFAULT);

    // Colour bar at the right.
    const double barX = width - barArea + 8.0, barW = 18.0, barTop = titleHeight + 8.0;
    const double barBottom = titleHeight + std::max(gridHeight, 170.0) - 16.0;
    cairo_pattern_t* gradient = cairo_pattern_create_linear(0.0, barBottom, 0.0, barTop);
    for (int step = 0; step <= 32; ++step) {
        const double f = step / 32.0;
        const plot::Rgb c = s.diverging ? plot::divergingColour(2.0 * f - 1.0) : plot::sequentialColour(f);
        cairo_pattern_add_color_stop_rgb(gradient, f, c.r, c.g, c.b);
    }
    cairo_rectangle(cr, barX, barTop, barW, barBottom - barTop);
    cairo_set_source(cr, gradient);
    cairo_fill_preserve(cr);
    cairo_pattern_destroy(gradient);
    plot::setColour(cr, ink);
    cairo_set_line_width(cr, 1.0);
    cairo_stroke(cr);
    const std::vector<double> ticks = plot::niceTicks(s.scaleLo, s.scaleHi, 4);
    const double tickStep = ticks.size() > 1 ? ticks[1] - ticks[0] : 1.0;
    auto barY = [&](double v) { return barBottom - (v - s.scaleLo) / (s.scaleHi - s.scaleLo) * (barBottom - barTop); };
    for (double t : ticks) {
        cairo_move_to(cr, barX + barW, std::round(barY(t)) + 0.5);
        cairo_line_to(cr, barX + barW + 4.0, std::round(barY(t)) + 0.5);
        cairo_stroke(cr);
        plot::drawText(cr, plot::formatTick(t, tickStep), barX + barW + 7.0, barY(t), 11.0, 0.0, 0.5);
    }
    // The clamped ends, stated exactly.
    const int endDecimals = std::fabs(s.scaleHi) >= 100.0 ? 0 : std::fabs(s.scaleHi) >= 10.0 ? 1 : 2;
    plot::setColour(cr, plot::rgbFromHex(0x666666));
    plot::drawText(cr, std::string("\xe2\x89\xa5 ") + number(s.scaleHi, endDecimals), barX - 2.0,
                   barTop - 6.0, 10.5, 0.0, 0.0);
    plot::drawText(cr, "\xe2\x89\xa4 " + number(s.scaleLo, endDecimals), barX - 2.0, barBottom + 14.0, 10.5, 0.0, 0.0);

    // Legend of what is not a finite value in the mask.
    const double legendY = height - legendHeight + 8.0;
    double lx = pad;
    const struct {
        const char* label;
        const plot::Rgb* colour;
        bool hatched;
        int64_t count;
        bool counted;
    } entries[] = {{"NaN", nullptr, true, s.nans, true},
                   {"+inf", &plusInfColour, false, s.plusInf, true},
                   {"\xe2\x88\x92inf", &minusInfColour, false, s.minusInf, true},
                   {"outside the mask (first volume \xe2\x89\xa4 100)", &outsideColour, false, 0, false}};
    for (const auto& entry : entries) {
        swatch(cr, lx, legendY, 16.0, entry.colour, entry.hatched ? hatch : nullptr);
        std::string label = entry.label;
        if (entry.counted) label += " (" + std::to_string(entry.count) + ")";
        plot::setColour(cr, ink);
        plot::drawText(cr, label, lx + 22.0, legendY + 8.0, 12.0, 0.0, 0.5);
        cairo_text_extents_t e;
        cairo_text_extents(cr, label.c_str(), &e);
        lx += 22.0 + e.x_advance + 20.0;
    }
    cairo_pattern_destroy(hatch);
    cairo_surface_flush(surface.get());
    return surface;
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
img { max-width: 100%; height: auto; display: block; }
.maps { display: grid; grid-template-columns: repeat(auto-fill, minmax(600px, 1fr)); gap: 18px; }
.maps figure { margin: 0; }
.empty { color: #8a5a00; background: #fff6e0; border: 1px solid #f0d9a8; padding: 10px 14px; border-radius: 6px; }
.warn { color: #a4000f; font-weight: 600; }
)";

}  // namespace

std::vector<double> framewiseDisplacement(const std::vector<MotionEstimate>& motion) {
    const double mmPerDegree = radiansFromDegrees(1.0) * 50.0;
    std::vector<double> fd(motion.size(), 0.0);
    for (std::size_t i = 1; i < motion.size(); ++i) {
        double sum = 0.0;
        for (int k = 0; k < 6; ++k) {
            const double change = std::fabs(motion[i][k] - motion[i - 1][k]);
            sum += k < 3 ? change : change * mmPerDegree;
        }
        fd[i] = sum;
    }
    return fd;
}

bool writeQcReport(const std::string& folder, const ReportInput& input, std::string& error) {
    const fs::path out(folder);
    std::error_code code;
    fs::create_directories(out, code);
    if (code || !fs::is_directory(out)) {
        error = "cannot create the report folder " + folder + (code ? ": " + code.message() : "");
        return false;
    }

    Geometry g;
    bool dimsValid = true;
    for (int k = 0; k < 3; ++k) {
        g.dims[k] = input.dims[k];
        dimsValid = dimsValid && input.dims[k] > 0;
        g.voxelMm[k] = input.voxelSizeMm[k] > 0.0 && std::isfinite(input.voxelSizeMm[k]) ? input.voxelSizeMm[k] : 1.0;
    }
    g.voxels = dimsValid ? static_cast<std::size_t>(g.dims[0]) * g.dims[1] * g.dims[2] : 0;
    if (g.voxels > 0 && input.firstVolume.size() == g.voxels) {
        g.mask.resize(g.voxels);
        for (std::size_t i = 0; i < g.voxels; ++i) {
            g.mask[i] = input.firstVolume[i] > maskThreshold;
            g.masked += g.mask[i];
        }
    }
    g.haveMaps = g.voxels > 0 && input.maps.size() >= g.voxels * mapCount;

    std::vector<MapSummary> summaries;
    for (int map = 0; map < mapCount; ++map) summaries.push_back(summariseMap(input, g, map));

    // Pictures.
    std::vector<std::string> montageFiles;
    if (g.haveMaps) {
        const std::vector<int32_t> slices = chooseSlices(g);
        for (int map = 0; map < mapCount; ++map) {
            const std::string name = "map" + std::to_string(map + 1) + ".png";
            SurfacePtr image = drawMontage(input, g, map, summaries[map], slices);
            if (!savePng(image.get(), out / name, error)) return false;
            montageFiles.push_back(name);
        }
    }

    const std::vector<double> fd = framewiseDisplacement(input.motion);
    if (!input.motion.empty()) {
        plot::Panel translations{"Translations", "volume", "mm", {}, {}, false, ""};
        plot::Panel rotations{"Rotations", "volume", "degrees", {}, {}, false, ""};
        const char* axes[3] = {"X", "Y", "Z"};
        for (int k = 0; k < 6; ++k) {
            plot::Series s{axes[k % 3], {}, axisColours[k % 3]};
            for (const MotionEstimate& m : input.motion) s.values.push_back(m[k]);
            (k < 3 ? translations : rotations).series.push_back(std::move(s));
        }
        SurfacePtr motionImage = drawPanels(1200, {translations, rotations}, 290);
        if (!savePng(motionImage.get(), out / "motion.png", error)) return false;

        plot::Panel fdPanel{"", "volume", "mm", {}, {}, true,
                            "rotations as mm of arc on a 50 mm sphere"};
        fdPanel.series.push_back({"FD", fd, plot::rgbFromHex(0x333399)});
        fdPanel.lines.push_back({0.2, "0.2 mm", plot::rgbFromHex(0xe6a100)});
        fdPanel.lines.push_back({0.5, "0.5 mm", plot::rgbFromHex(0xd62728)});
        SurfacePtr fdImage = drawPanels(1200, {fdPanel}, 300);
        if (!savePng(fdImage.get(), out / "fd.png", error)) return false;
    }

    std::vector<double> latencyMs;
    for (double seconds : input.stepSeconds) latencyMs.push_back(seconds * 1000.0);
    const double trMs = input.repetitionTimeSeconds * 1000.0;
    std::vector<double> finiteLatency;
    std::copy_if(latencyMs.begin(), latencyMs.end(), std::back_inserter(finiteLatency),
                 [](double v) { return std::isfinite(v); });
    const double medianLatency = median(finiteLatency);
    const double maxLatency = finiteLatency.empty() ? nan : *std::max_element(finiteLatency.begin(), finiteLatency.end());
    if (!latencyMs.empty()) {
        plot::Panel panel{"", "volume", "ms", {}, {}, true, ""};
        panel.series.push_back({"latency", latencyMs, plot::rgbFromHex(0x1f77b4)});
        if (trMs > 0.0) {
            // The TR line only where the latencies stay readable beside it.
            if (!(maxLatency * 4.0 < trMs)) panel.lines.push_back({trMs, "TR " + number(trMs, 0) + " ms", plot::rgbFromHex(0xd62728)});
            else panel.note = "TR = " + number(trMs, 0) + " ms, far above this scale";
        }
        SurfacePtr image = drawPanels(1200, {panel}, 300);
        if (!savePng(image.get(), out / "latency.png", error)) return false;
    }

    // Figures of the summary.
    const MapSummary& tsnr = summaries[tsnrMap];
    double fdMean = nan;
    int64_t above02 = 0, above05 = 0;
    if (input.motion.size() > 1) {
        double sum = 0.0;
        int64_t counted = 0;
        for (std::size_t i = 1; i < fd.size(); ++i) {
            if (!std::isfinite(fd[i])) continue;
            sum += fd[i];
            ++counted;
            above02 += fd[i] > 0.2;
            above05 += fd[i] > 0.5;
        }
        if (counted > 0) fdMean = sum / static_cast<double>(counted);
    }

    std::ostringstream html;
    html << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>QC report: "
         << escapeHtml(input.title) << "</title>\n<style>" << css << "</style>\n</head>\n<body>\n<main>\n";
    html << "<header><h1>QC report</h1><p>" << escapeHtml(input.title);
    if (!input.pluginName.empty()) html << " &middot; plug-in " << escapeHtml(input.pluginName);
    html << " &middot; " << input.dims[0] << " &times; " << input.dims[1] << " &times; " << input.dims[2]
         << " voxels of " << number(g.voxelMm[0], 2) << " &times; " << number(g.voxelMm[1], 2) << " &times; "
         << number(g.voxelMm[2], 2) << " mm";
    if (input.repetitionTimeSeconds > 0.0) html << " &middot; TR " << number(input.repetitionTimeSeconds, 3) << " s";
    html << "</p>";
    if (!input.endNote.empty()) html << "<p class=\"warn\" id=\"end-note\">" << escapeHtml(input.endNote) << "</p>";
    html << "</header>\n";

    html << "<section><h2>Summary</h2><div class=\"columns\">\n<table class=\"summary\">\n";
    html << row("Volumes", figure("volumes", std::to_string(input.volumeCount)));
    html << row("Voxels", figure("voxels", std::to_string(g.voxels)),
                std::to_string(input.dims[0]) + " &times; " + std::to_string(input.dims[1]) + " &times; " +
                    std::to_string(input.dims[2]));
    if (g.mask.empty()) html << row("Masked voxels", figure("masked-voxels", "&mdash;"), "first volume not given");
    else
        html << row("Masked voxels", figure("masked-voxels", std::to_string(g.masked)),
                    number(g.voxels ? 100.0 * static_cast<double>(g.masked) / static_cast<double>(g.voxels) : 0.0, 1) +
                        "% of the volume; first-volume intensity &gt; 100");
    html << row("Median tSNR in the mask", figure("median-tsnr", number(tsnr.medianValue * 30.0, 2)),
                "map value " + figure("median-tsnr-map", number(tsnr.medianValue, 4)) +
                    ": the tSNR map holds tSNR / 30; finite values only");
    if (input.motion.empty()) {
        html << row("Framewise displacement", "&mdash;", "no motion estimates given");
    } else {
        html << row("Mean framewise displacement", figure("mean-fd", number(fdMean, 3)) + " mm",
                    "over volumes 2 to " + std::to_string(input.motion.size()));
        html << row("Frames with FD &gt; 0.2 mm", figure("fd-above-0.2", std::to_string(above02)));
        html << row("Frames with FD &gt; 0.5 mm",
                    std::string(above05 > 0 ? "<span class=\"warn\">" : "<span>") +
                        figure("fd-above-0.5", std::to_string(above05)) + "</span>");
    }
    if (latencyMs.empty()) {
        html << row("Step latency", "&mdash;", "no step latencies recorded");
    } else {
        html << row("Median step latency", figure("median-latency-ms", number(medianLatency, 2)) + " ms");
        html << row("Maximum step latency", figure("max-latency-ms", number(maxLatency, 2)) + " ms",
                    trMs > 0.0 ? number(100.0 * maxLatency / trMs, 1) + "% of the TR" : "");
    }
    html << "</table>\n";

    html << "<table class=\"maps-table\">\n<tr><th>Map</th><th class=\"num\">largest |value|</th>"
            "<th class=\"num\">median</th><th class=\"num\">NaN</th><th class=\"num\">+inf</th>"
            "<th class=\"num\">&minus;inf</th></tr>\n";
    for (int map = 0; map < mapCount; ++map) {
        const MapSummary& s = summaries[map];
        html << "<tr><td>" << escapeHtml(s.name) << "</td><td class=\"num\">"
             << figure("max-abs-" + std::to_string(map), number(s.largestAbs, 3)) << "</td><td class=\"num\">"
             << number(s.medianValue, 3) << "</td><td class=\"num\">" << s.nans << "</td><td class=\"num\">"
             << s.plusInf << "</td><td class=\"num\">" << s.minusInf << "</td></tr>\n";
    }
    html << "</table>\n</div>\n<p class=\"note\">Map figures are over the voxels in the mask; largest and median over "
            "finite values. Maps 1&ndash;6 hold t-values of the motion coefficients, the constant's map its "
            "t-value / 100, the tSNR map tSNR / 30.</p></section>\n";

    html << "<section><h2>Head motion</h2>\n";
    if (input.motion.empty()) {
        html << "<p class=\"empty\">No motion estimates given.</p>\n";
    } else {
        html << "<img src=\"motion.png\" alt=\"Translations and rotations over time\">\n"
             << "</section>\n<section><h2>Framewise displacement</h2>\n<img src=\"fd.png\" alt=\"Framewise displacement over time\">\n"
             << "<p class=\"note\">Sum of the absolute changes of the six estimates from the previous volume; "
                "degrees &times; &pi;/180 &times; 50 mm.</p>\n";
    }
    html << "</section>\n<section><h2>Step latency</h2>\n";
    if (latencyMs.empty()) html << "<p class=\"empty\">No step latencies recorded.</p>\n";
    else
        html << "<img src=\"latency.png\" alt=\"Step latency over time\">\n<p class=\"note\">Time the plug-in spent "
                "on each volume (pre-step and post-step).</p>\n";
    const ReportInput::Latency& live = input.latency;
    if (!live.total.empty()) {
        // Median and 95th percentile (nearest rank) of each part, in ms.
        const auto percentile = [](std::vector<double> values, double p) {
            std::sort(values.begin(), values.end());
            const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(values.size())));
            return values[std::min(values.size() - 1, rank > 0 ? rank - 1 : 0)] * 1000.0;
        };
        html << "</section>\n<section><h2>Live latency</h2>\n<table class=\"summary\">\n"
                "<tr><th></th><th class=\"num\">median ms</th><th class=\"num\">95th percentile ms</th></tr>\n";
        const std::pair<const char*, const std::vector<double>*> parts[] = {
            {"File written to maps handed to the outputs", &live.total}, {"Detection", &live.detection},
            {"Reading", &live.reading}, {"Motion estimate", &live.motion}, {"Plug-in step", &live.step},
            {"Outputs", &live.outputs}};
        for (const auto& [name, values] : parts)
            html << "<tr><td>" << name << "</td><td class=\"num\">" << number(median(*values) * 1000.0, 2)
                 << "</td><td class=\"num\">" << number(percentile(*values, 0.95), 2) << "</td></tr>\n";
        html << "</table>\n<p class=\"note\">From each volume file's last write (its modification time) until "
                "its maps were in host memory and handed to the outputs; detection waits for the file to stop "
                "changing between two polls of the folder.";
        if (trMs > 0.0)
            html << " Median " << figure("median-live-latency-pct-tr", number(median(live.total) * 1000.0 * 100.0 / trMs, 1))
                 << "% of the TR, 95th percentile " << number(percentile(live.total, 0.95) * 100.0 / trMs, 1) << "%.";
        html << "</p>\n";
    }
    html << "</section>\n<section><h2>Maps</h2>\n";
    if (montageFiles.empty()) {
        html << "<p class=\"empty\">No maps given.</p>\n";
    } else {
        html << "<p class=\"note\">t-maps on a symmetric scale of &plusmn; the 99th percentile of |t| in the mask, "
                "tSNR from 0 to its 99th percentile; values beyond are shown at the ends of the scale. "
                "Counts in the legends are of masked voxels.</p>\n<div class=\"maps\">\n";
        for (int map = 0; map < mapCount; ++map)
            html << "<figure><img src=\"" << montageFiles[map] << "\" alt=\"" << escapeHtml(summaries[map].name)
                 << "\"></figure>\n";
        html << "</div>\n";
    }
    html << "</section>\n</main>\n</body>\n</html>\n";

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
