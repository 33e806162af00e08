#include "korvanth/outputs/report/map_montage.h"

#include "korvanth/outputs/report/drawing/montage_surface.h"
#include "korvanth/run/statistics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace korvanth {

namespace {

constexpr int maxSlices = 12;

const plot::Rgb nanColour = plot::rgbFromHex(0xff00ff);
const plot::Rgb nanStripe = plot::rgbFromHex(0x6e6e6e);
const plot::Rgb plusInfColour = plot::rgbFromHex(0x00ff3c);
const plot::Rgb minusInfColour = plot::rgbFromHex(0xffe600);
const plot::Rgb outsideColour = plot::rgbFromHex(0x1c1c1c);

// A scale end (always finite) with the given decimals.
std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
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
    if (pattern)
        cairo_set_source(cr, pattern);
    else
        plot::setColour(cr, *colour);
    cairo_fill_preserve(cr);
    plot::setColour(cr, plot::rgbFromHex(0x888888));
    cairo_set_line_width(cr, 1.0);
    cairo_stroke(cr);
}

plot::Rgb valueColour(const MapSummary& s, double v) {
    if (s.diverging) return plot::divergingColour(v / s.scaleHi);
    return plot::sequentialColour((v - s.scaleLo) / (s.scaleHi - s.scaleLo));
}

}  // namespace

MontageGrid montageGrid(const int32_t dims[3], const double voxelSizeMm[3], const std::vector<float>& firstVolume) {
    MontageGrid g;
    bool dimsValid = true;
    for (int k = 0; k < 3; ++k) {
        g.dims[k] = dims[k];
        dimsValid = dimsValid && dims[k] > 0;
        g.voxelMm[k] = voxelSizeMm[k] > 0.0 && std::isfinite(voxelSizeMm[k]) ? voxelSizeMm[k] : 1.0;
    }
    g.voxels = dimsValid ? static_cast<std::size_t>(g.dims[0]) * g.dims[1] * g.dims[2] : 0;
    if (g.voxels > 0 && firstVolume.size() == g.voxels) {
        g.mask.resize(g.voxels);
        for (std::size_t i = 0; i < g.voxels; ++i) {
            g.mask[i] = firstVolume[i] > tarvex::maskThreshold;
            g.masked += g.mask[i];
        }
    }
    return g;
}

MapSummary summariseMap(const MontageGrid& g, const float* values, int map, const std::string& name) {
    MapSummary s;
    s.name = name;
    s.diverging = map != tsnrMap;
    if (values == nullptr) return s;
    std::vector<double> finite;
    for (std::size_t i = 0; i < g.voxels; ++i) {
        if (g.mask.empty() || !g.mask[i]) continue;
        const double v = values[i];
        if (std::isnan(v))
            ++s.nans;
        else if (std::isinf(v))
            ++(v > 0 ? s.plusInf : s.minusInf);
        else
            finite.push_back(v);
    }
    s.finite = static_cast<int64_t>(finite.size());
    if (finite.empty()) return s;
    std::vector<double> magnitudes(finite.size());
    std::transform(finite.begin(), finite.end(), magnitudes.begin(), [](double v) { return std::fabs(v); });
    s.largestAbs = *std::max_element(magnitudes.begin(), magnitudes.end());
    s.medianValue = median(finite);
    if (s.diverging) {
        double robust = lowerQuantile(magnitudes, 0.99);
        if (!(robust > 0.0)) robust = s.largestAbs > 0.0 ? s.largestAbs : 1.0;
        s.scaleLo = -robust;
        s.scaleHi = robust;
    } else {
        double robust = lowerQuantile(finite, 0.99);
        if (!(robust > 0.0)) robust = 1.0;
        s.scaleLo = 0.0;
        s.scaleHi = robust;
    }
    return s;
}

std::vector<int32_t> chooseSlices(const MontageGrid& g) {
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
                                    : first + static_cast<int32_t>(
                                                  std::lround(static_cast<double>(k) * (available - 1) / (count - 1))));
    return slices;
}

namespace {

const plot::Rgb ink = plot::rgbFromHex(0x222222);

// Where a montage's parts go: the slices in up to four columns, the colour
// bar at the right, the legend at the bottom.
struct MontageLayout {
    static constexpr double width = 640.0, pad = 10.0, titleHeight = 36.0, barArea = 96.0, labelHeight = 16.0,
                            legendHeight = 40.0;
    int columns = 1, rows = 1;
    double cellWidth = 0.0;
    double scale = 1.0;  // pixels per mm
    double sliceW = 0.0, sliceH = 0.0;
    double gridHeight = 0.0;
    int height = 0;
};

MontageLayout montageLayout(const MontageGrid& g, std::size_t sliceCount) {
    MontageLayout l;
    const double pad = MontageLayout::pad;
    l.columns = std::min<int>(4, static_cast<int>(sliceCount));
    l.rows = (static_cast<int>(sliceCount) + l.columns - 1) / l.columns;
    const double gridWidth = MontageLayout::width - MontageLayout::barArea - pad;
    l.cellWidth = (gridWidth - pad * (l.columns + 1)) / l.columns;
    const double extentX = g.dims[0] * g.voxelMm[0], extentY = g.dims[1] * g.voxelMm[1];
    l.scale = std::min(l.cellWidth / extentX, 1.4 * l.cellWidth / extentY);
    l.sliceW = extentX * l.scale;
    l.sliceH = extentY * l.scale;
    l.gridHeight = l.rows * (l.sliceH + MontageLayout::labelHeight + pad);
    l.height = static_cast<int>(
        std::ceil(MontageLayout::titleHeight + std::max(l.gridHeight, 170.0) + MontageLayout::legendHeight + pad));
    return l;
}

void drawMontageTitle(cairo_t* cr, const MapSummary& s, int map) {
    plot::setColour(cr, ink);
    plot::drawText(cr, s.name, MontageLayout::pad, 24.0, 16.0, 0.0, 0.0, true);
    const std::string unit = map == tsnrMap       ? "map value = tSNR / 30"
                             : map == constantMap ? "map value = t / 100"
                                                  : "t-value";
    plot::setColour(cr, plot::rgbFromHex(0x666666));
    plot::drawText(cr, unit + ", axial slices (x right, y up)", MontageLayout::width - MontageLayout::pad, 24.0, 12.0,
                   1.0, 0.0);
}

// One axial slice at (x0, y0): the masked voxels in their colours, NaN hatched.
void drawSlice(cairo_t* cr, const MontageLayout& l, const MontageGrid& g, const float* values, const MapSummary& s,
               int32_t slice, double x0, double y0, cairo_pattern_t* hatch) {
    const std::size_t perSlice = static_cast<std::size_t>(g.dims[0]) * g.dims[1];
    const double voxelW = g.voxelMm[0] * l.scale, voxelH = g.voxelMm[1] * l.scale;
    plot::setColour(cr, outsideColour);
    cairo_rectangle(cr, x0, y0, std::round(l.sliceW), std::round(l.sliceH));
    cairo_fill(cr);
    const std::size_t base = slice * perSlice;
    for (int32_t y = 0; y < g.dims[1]; ++y) {
        const double top = std::round(y0 + (g.dims[1] - 1 - y) * voxelH);
        const double bottom = std::round(y0 + (g.dims[1] - y) * voxelH);
        for (int32_t x = 0; x < g.dims[0]; ++x) {
            const std::size_t i = base + static_cast<std::size_t>(y) * g.dims[0] + x;
            if (g.mask.empty() || !g.mask[i]) continue;
            const double left = std::round(x0 + x * voxelW), right = std::round(x0 + (x + 1) * voxelW);
            const double v = values[i];
            if (std::isnan(v))
                cairo_set_source(cr, hatch);
            else if (std::isinf(v))
                plot::setColour(cr, v > 0 ? plusInfColour : minusInfColour);
            else
                plot::setColour(cr, valueColour(s, v));
            cairo_rectangle(cr, left, top, right - left, bottom - top);
            cairo_fill(cr);
        }
    }
}

void drawSlices(cairo_t* cr, const MontageLayout& l, const MontageGrid& g, const float* values, const MapSummary& s,
                const std::vector<int32_t>& slices, cairo_pattern_t* hatch) {
    const double pad = MontageLayout::pad;
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
    for (std::size_t k = 0; k < slices.size(); ++k) {
        const int column = static_cast<int>(k) % l.columns, row = static_cast<int>(k) / l.columns;
        const double x0 = std::round(pad + column * (l.cellWidth + pad) + (l.cellWidth - l.sliceW) / 2.0);
        const double y0 = std::round(MontageLayout::titleHeight + row * (l.sliceH + MontageLayout::labelHeight + pad));
        drawSlice(cr, l, g, values, s, slices[k], x0, y0, hatch);
        plot::setColour(cr, ink);
        cairo_set_antialias(cr, CAIRO_ANTIALIAS_DEFAULT);
        plot::drawText(cr, "z = " + std::to_string(slices[k]), x0 + l.sliceW / 2.0, y0 + l.sliceH + 12.0, 11.0, 0.5,
                       0.0);
        cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
    }
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_DEFAULT);
}

// The colour bar at the right, its ticks, and its clamped ends stated exactly.
void drawColourBar(cairo_t* cr, const MontageLayout& l, const MapSummary& s) {
    const double barX = MontageLayout::width - MontageLayout::barArea + 8.0, barW = 18.0,
                 barTop = MontageLayout::titleHeight + 8.0;
    const double barBottom = MontageLayout::titleHeight + std::max(l.gridHeight, 170.0) - 16.0;
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
    const int endDecimals = std::fabs(s.scaleHi) >= 100.0 ? 0 : std::fabs(s.scaleHi) >= 10.0 ? 1 : 2;
    plot::setColour(cr, plot::rgbFromHex(0x666666));
    plot::drawText(cr, std::string("\xe2\x89\xa5 ") + fixed(s.scaleHi, endDecimals), barX - 2.0, barTop - 6.0, 10.5,
                   0.0, 0.0);
    plot::drawText(cr, "\xe2\x89\xa4 " + fixed(s.scaleLo, endDecimals), barX - 2.0, barBottom + 14.0, 10.5, 0.0, 0.0);
}

// The legend of what is not a finite value in the mask.
void drawNonFiniteLegend(cairo_t* cr, const MontageLayout& l, const MapSummary& s, cairo_pattern_t* hatch) {
    const double legendY = l.height - MontageLayout::legendHeight + 8.0;
    double lx = MontageLayout::pad;
    const std::string outside =
        "outside the mask (first volume \xe2\x89\xa4 " + std::to_string(tarvex::maskThreshold) + ")";
    const struct {
        const char* label;
        const plot::Rgb* colour;
        bool hatched;
        int64_t count;
        bool counted;
    } entries[] = {{"NaN", nullptr, true, s.nans, true},
                   {"+inf", &plusInfColour, false, s.plusInf, true},
                   {"\xe2\x88\x92inf", &minusInfColour, false, s.minusInf, true},
                   {outside.c_str(), &outsideColour, false, 0, false}};
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
}

}  // namespace

SurfacePtr drawMontage(const MontageGrid& g, const float* values, int map, const MapSummary& s,
                       const std::vector<int32_t>& slices) {
    const MontageLayout layout = montageLayout(g, slices.size());
    SurfacePtr surface(
        cairo_image_surface_create(CAIRO_FORMAT_RGB24, static_cast<int>(MontageLayout::width), layout.height),
        cairo_surface_destroy);
    ContextPtr owner(cairo_create(surface.get()), cairo_destroy);
    cairo_t* cr = owner.get();
    cairo_set_source_rgb(cr, 1.0, 1.0, 1.0);
    cairo_paint(cr);
    drawMontageTitle(cr, s, map);

    SurfacePtr hatchTile = makeHatch();
    cairo_pattern_t* hatch = cairo_pattern_create_for_surface(hatchTile.get());
    cairo_pattern_set_extend(hatch, CAIRO_EXTEND_REPEAT);
    drawSlices(cr, layout, g, values, s, slices, hatch);
    drawColourBar(cr, layout, s);
    drawNonFiniteLegend(cr, layout, s, hatch);
    cairo_pattern_destroy(hatch);
    cairo_surface_flush(surface.get());
    return surface;
}

namespace {
cairo_status_t appendPng(void* closure, const unsigned char* data, unsigned int length) {
    static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
    return CAIRO_STATUS_SUCCESS;
}
}  // namespace

bool montagePng(const MontageGrid& g, const float* values, int map, const MapSummary& s,
                const std::vector<int32_t>& slices, std::string& png) {
    const SurfacePtr image = drawMontage(g, values, map, s, slices);
    std::string encoded;
    if (cairo_surface_write_to_png_stream(image.get(), appendPng, &encoded) != CAIRO_STATUS_SUCCESS) return false;
    png = std::move(encoded);
    return true;
}

}  // namespace korvanth
