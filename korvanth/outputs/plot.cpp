#include "korvanth/outputs/plot.h"

#include "korvanth/run/units.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace korvanth::plot {

namespace {

Rgb interpolate(const unsigned* stops, int count, double t) {
    t = std::clamp(std::isnan(t) ? 0.0 : t, 0.0, 1.0);
    const double position = t * (count - 1);
    const int index = std::min(static_cast<int>(position), count - 2);
    const double f = position - index;
    const Rgb a = rgbFromHex(stops[index]);
    const Rgb b = rgbFromHex(stops[index + 1]);
    return {a.r + (b.r - a.r) * f, a.g + (b.g - a.g) * f, a.b + (b.b - a.b) * f};
}

// Blue to red through near-white, as in the usual diverging map of t-values.
constexpr unsigned divergingStops[] = {0x053061, 0x2166ac, 0x4393c3, 0x92c5de, 0xd1e5f0, 0xf7f7f7,
                                       0xfddbc7, 0xf4a582, 0xd6604d, 0xb2182b, 0x67001f};
// Dark to light blue: no colour of it is close to those of the non-finite values.
constexpr unsigned sequentialStops[] = {0x08306b, 0x08519c, 0x2171b5, 0x4292c6, 0x6baed6,
                                        0x9ecae1, 0xc6dbef, 0xdeebf7, 0xf7fbff};

struct Range {
    double lo = 0.0, hi = 0.0;
    bool valid = false;
    void add(double v) {
        if (!std::isfinite(v)) return;
        if (!valid) {
            lo = hi = v;
            valid = true;
        }
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
};

}  // namespace

Rgb rgbFromHex(unsigned hex) {
    return {((hex >> 16) & 0xff) / 255.0, ((hex >> 8) & 0xff) / 255.0, (hex & 0xff) / 255.0};
}

Rgb divergingColour(double t) {
    return interpolate(divergingStops, static_cast<int>(std::size(divergingStops)), (t + 1.0) / 2.0);
}

Rgb sequentialColour(double t) { return interpolate(sequentialStops, static_cast<int>(std::size(sequentialStops)), t); }

std::vector<double> niceTicks(double lo, double hi, int target) {
    std::vector<double> ticks;
    if (!std::isfinite(lo) || !std::isfinite(hi) || hi <= lo || target < 1) return ticks;
    const double rough = (hi - lo) / target;
    const double magnitude = std::pow(10.0, std::floor(std::log10(rough)));
    const double fraction = rough / magnitude;
    const double step = (fraction < 1.5 ? 1.0 : fraction < 3.0 ? 2.0 : fraction < 7.0 ? 5.0 : 10.0) * magnitude;
    const double first = std::ceil(lo / step - 1e-9);
    const double last = std::floor(hi / step + 1e-9);
    for (double k = first; k <= last; k += 1.0) {
        const double v = k * step;
        ticks.push_back(std::fabs(v) < step * 1e-9 ? 0.0 : v);
    }
    return ticks;
}

std::string formatTick(double value, double step) {
    int decimals = 0;
    if (step > 0.0 && std::isfinite(step))
        decimals = std::clamp(static_cast<int>(std::ceil(-std::log10(step) - 1e-9)), 0, 6);
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

void setColour(cairo_t* cr, const Rgb& colour, double alpha) {
    cairo_set_source_rgba(cr, colour.r, colour.g, colour.b, alpha);
}

void drawText(cairo_t* cr, const std::string& text, double x, double y, double size, double alignX, double alignY,
              bool bold) {
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL,
                           bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, size);
    cairo_text_extents_t extents;
    cairo_text_extents(cr, text.c_str(), &extents);
    const double capHeight = size * 0.72;
    cairo_move_to(cr, x - extents.x_advance * alignX, y + capHeight * alignY);
    cairo_show_text(cr, text.c_str());
}

namespace {
// One straight line from (x0, y0) to (x1, y1) in `colour`, with the current width and dash.
void strokeLine(cairo_t* cr, const Rgb& colour, double x0, double y0, double x1, double y1) {
    setColour(cr, colour);
    cairo_move_to(cr, x0, y0);
    cairo_line_to(cr, x1, y1);
    cairo_stroke(cr);
}
}  // namespace

void drawPanel(cairo_t* cr, double x, double y, double width, double height, const Panel& panel) {
    const double left = x + 72.0, right = x + width - 20.0, top = y + 34.0, bottom = y + height - 44.0;
    const Rgb ink = rgbFromHex(0x222222), grid = rgbFromHex(0xe3e3e3), muted = rgbFromHex(0x666666);

    std::size_t count = 0;
    Range yRange;
    for (const Series& s : panel.series) {
        count = std::max(count, s.values.size());
        for (double v : s.values) yRange.add(v);
    }
    for (const ReferenceLine& line : panel.lines) yRange.add(line.y);
    if (panel.yFromZero) yRange.add(0.0);
    if (!yRange.valid) yRange = {0.0, 1.0, true};
    if (yRange.hi - yRange.lo < 1e-12) {
        const double pad = std::max(std::fabs(yRange.hi) * 0.1, 1e-3);
        yRange.lo -= pad;
        yRange.hi += pad;
    } else {
        const double pad = (yRange.hi - yRange.lo) * 0.06;
        if (!(panel.yFromZero && yRange.lo >= 0.0)) yRange.lo -= pad;
        yRange.hi += pad;
    }
    const double xLo = count > 1 ? 1.0 : 0.5, xHi = count > 1 ? static_cast<double>(count) : 1.5;
    auto px = [&](double v) { return left + (v - xLo) / (xHi - xLo) * (right - left); };
    auto py = [&](double v) { return bottom - (v - yRange.lo) / (yRange.hi - yRange.lo) * (bottom - top); };

    // The legend (of two or more series) sits at the top right above the plot
    // area, where it hides no data; the note goes to its left.
    double legendWidth = 0.0;
    if (panel.series.size() > 1) {
        cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
        cairo_set_font_size(cr, 12.0);
        legendWidth = 12.0;
        for (const Series& s : panel.series) {
            cairo_text_extents_t e;
            cairo_text_extents(cr, s.label.c_str(), &e);
            legendWidth += 26.0 + e.x_advance + 14.0;
        }
    }

    // Title and note.
    setColour(cr, ink);
    drawText(cr, panel.title, left, y + 18.0, 15.0, 0.0, 0.0, true);
    if (!panel.note.empty()) {
        setColour(cr, muted);
        drawText(cr, panel.note, right - (legendWidth > 0.0 ? legendWidth + 12.0 : 0.0), y + 18.0, 12.0, 1.0, 0.0);
    }

    // Grid, ticks and tick labels.
    cairo_set_line_width(cr, 1.0);
    const std::vector<double> yTicks = niceTicks(yRange.lo, yRange.hi, 5);
    const double yStep = yTicks.size() > 1 ? yTicks[1] - yTicks[0] : 1.0;
    for (double t : yTicks) {
        const double ty = std::round(py(t)) + 0.5;
        strokeLine(cr, grid, left, ty, right, ty);
        strokeLine(cr, ink, left - 5.0, ty, left, ty);
        drawText(cr, formatTick(t, yStep), left - 8.0, ty, 12.0, 1.0, 0.5);
    }
    std::vector<double> xTicks = niceTicks(xLo, xHi, 10);
    xTicks.erase(std::remove_if(xTicks.begin(), xTicks.end(), [](double t) { return t != std::floor(t); }),
                 xTicks.end());
    for (double t : xTicks) {
        const double tx = std::round(px(t)) + 0.5;
        strokeLine(cr, grid, tx, top, tx, bottom);
        strokeLine(cr, ink, tx, bottom, tx, bottom + 5.0);
        drawText(cr, formatTick(t, 1.0), tx, bottom + 18.0, 12.0, 0.5, 0.0);
    }

    // Axis labels.
    setColour(cr, ink);
    drawText(cr, panel.xLabel, (left + right) / 2.0, bottom + 36.0, 12.5, 0.5, 0.0);
    cairo_save(cr);
    cairo_translate(cr, x + 16.0, (top + bottom) / 2.0);
    cairo_rotate(cr, -pi / 2.0);
    drawText(cr, panel.yLabel, 0.0, 0.0, 12.5, 0.5, 0.5);
    cairo_restore(cr);

    // Reference lines.
    cairo_save(cr);
    const double dashes[] = {6.0, 4.0};
    cairo_set_dash(cr, dashes, 2, 0.0);
    cairo_set_line_width(cr, 1.3);
    for (const ReferenceLine& line : panel.lines) {
        strokeLine(cr, line.colour, left, py(line.y), right, py(line.y));
        drawText(cr, line.label, right - 4.0, py(line.y) - 4.0, 11.5, 1.0, 0.0);
    }
    cairo_restore(cr);

    // Series, clipped to the plot area.
    cairo_save(cr);
    cairo_rectangle(cr, left, top, right - left, bottom - top);
    cairo_clip(cr);
    cairo_set_line_width(cr, 1.7);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    for (const Series& s : panel.series) {
        setColour(cr, s.colour);
        bool drawing = false;
        for (std::size_t i = 0; i < s.values.size(); ++i) {
            const double v = s.values[i];
            if (!std::isfinite(v)) {
                drawing = false;
                continue;
            }
            const double cx = px(static_cast<double>(i + 1)), cy = py(v);
            const bool alone = (i == 0 || !std::isfinite(s.values[i - 1])) &&
                               (i + 1 == s.values.size() || !std::isfinite(s.values[i + 1]));
            if (alone) {
                cairo_stroke(cr);
                cairo_arc(cr, cx, cy, 2.5, 0.0, 2.0 * pi);
                cairo_fill(cr);
                drawing = false;
                continue;
            }
            if (drawing)
                cairo_line_to(cr, cx, cy);
            else
                cairo_move_to(cr, cx, cy);
            drawing = true;
        }
        cairo_stroke(cr);
    }
    cairo_restore(cr);

    // Frame.
    setColour(cr, ink);
    cairo_set_line_width(cr, 1.0);
    cairo_rectangle(cr, std::round(left) + 0.5, std::round(top) + 0.5, std::round(right - left),
                    std::round(bottom - top));
    cairo_stroke(cr);

    // Legend.
    if (legendWidth > 0.0) {
        double lx = right - legendWidth;
        const double ly = y + 5.0;
        cairo_rectangle(cr, lx, ly, legendWidth, 22.0);
        cairo_set_source_rgba(cr, 1.0, 1.0, 1.0, 0.88);
        cairo_fill_preserve(cr);
        setColour(cr, rgbFromHex(0xbbbbbb));
        cairo_stroke(cr);
        lx += 12.0;
        for (const Series& s : panel.series) {
            cairo_set_line_width(cr, 2.5);
            strokeLine(cr, s.colour, lx, ly + 11.0, lx + 20.0, ly + 11.0);
            setColour(cr, ink);
            drawText(cr, s.label, lx + 26.0, ly + 11.0, 12.0, 0.0, 0.5);
            cairo_text_extents_t e;
            cairo_text_extents(cr, s.label.c_str(), &e);
            lx += 26.0 + e.x_advance + 14.0;
        }
    }
}

}  // namespace korvanth::plot
