#include "korvanth/outputs/report/drawing/plot.h"

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

const Rgb ink = rgbFromHex(0x222222);

// Where a panel's plot area lies on the page and what values it spans.
struct PlotArea {
    double x = 0.0, y = 0.0;  // the panel's corner
    double left = 0.0, right = 0.0, top = 0.0, bottom = 0.0;
    double xLo = 0.0, xHi = 0.0;
    Range yRange;
    double px(double v) const { return left + (v - xLo) / (xHi - xLo) * (right - left); }
    double py(double v) const { return bottom - (v - yRange.lo) / (yRange.hi - yRange.lo) * (bottom - top); }
};

// The plot area of a panel: the volumes along x, and along y every finite
// value and reference line (and 0 where asked), padded.
PlotArea plotArea(double x, double y, double width, double height, const Panel& panel) {
    PlotArea a;
    a.x = x;
    a.y = y;
    a.left = x + 72.0;
    a.right = x + width - 20.0;
    a.top = y + 34.0;
    a.bottom = y + height - 44.0;
    std::size_t count = 0;
    Range& yRange = a.yRange;
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
    a.xLo = count > 1 ? 1.0 : 0.5;
    a.xHi = count > 1 ? static_cast<double>(count) : 1.5;
    return a;
}

// The width of the legend of two or more series (0 for fewer). It sits at the
// top right above the plot area, where it hides no data; the note goes to its left.
double legendWidth(cairo_t* cr, const Panel& panel) {
    if (panel.series.size() <= 1) return 0.0;
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, 12.0);
    double width = 12.0;
    for (const Series& s : panel.series) {
        cairo_text_extents_t e;
        cairo_text_extents(cr, s.label.c_str(), &e);
        width += 26.0 + e.x_advance + 14.0;
    }
    return width;
}

void drawTitleAndNote(cairo_t* cr, const PlotArea& a, const Panel& panel, double legend) {
    setColour(cr, ink);
    drawText(cr, panel.title, a.left, a.y + 18.0, 15.0, 0.0, 0.0, true);
    if (!panel.note.empty()) {
        setColour(cr, rgbFromHex(0x666666));
        drawText(cr, panel.note, a.right - (legend > 0.0 ? legend + 12.0 : 0.0), a.y + 18.0, 12.0, 1.0, 0.0);
    }
}

// Grid, ticks and tick labels; then the axis labels.
void drawAxes(cairo_t* cr, const PlotArea& a, const Panel& panel) {
    const Rgb grid = rgbFromHex(0xe3e3e3);
    cairo_set_line_width(cr, 1.0);
    const std::vector<double> yTicks = niceTicks(a.yRange.lo, a.yRange.hi, 5);
    const double yStep = yTicks.size() > 1 ? yTicks[1] - yTicks[0] : 1.0;
    for (double t : yTicks) {
        const double ty = std::round(a.py(t)) + 0.5;
        strokeLine(cr, grid, a.left, ty, a.right, ty);
        strokeLine(cr, ink, a.left - 5.0, ty, a.left, ty);
        drawText(cr, formatTick(t, yStep), a.left - 8.0, ty, 12.0, 1.0, 0.5);
    }
    std::vector<double> xTicks = niceTicks(a.xLo, a.xHi, 10);
    xTicks.erase(std::remove_if(xTicks.begin(), xTicks.end(), [](double t) { return t != std::floor(t); }),
                 xTicks.end());
    for (double t : xTicks) {
        const double tx = std::round(a.px(t)) + 0.5;
        strokeLine(cr, grid, tx, a.top, tx, a.bottom);
        strokeLine(cr, ink, tx, a.bottom, tx, a.bottom + 5.0);
        drawText(cr, formatTick(t, 1.0), tx, a.bottom + 18.0, 12.0, 0.5, 0.0);
    }

    setColour(cr, ink);
    drawText(cr, panel.xLabel, (a.left + a.right) / 2.0, a.bottom + 36.0, 12.5, 0.5, 0.0);
    cairo_save(cr);
    cairo_translate(cr, a.x + 16.0, (a.top + a.bottom) / 2.0);
    cairo_rotate(cr, -pi / 2.0);
    drawText(cr, panel.yLabel, 0.0, 0.0, 12.5, 0.5, 0.5);
    cairo_restore(cr);
}

void drawReferenceLines(cairo_t* cr, const PlotArea& a, const Panel& panel) {
    cairo_save(cr);
    const double dashes[] = {6.0, 4.0};
    cairo_set_dash(cr, dashes, 2, 0.0);
    cairo_set_line_width(cr, 1.3);
    for (const ReferenceLine& line : panel.lines) {
        strokeLine(cr, line.colour, a.left, a.py(line.y), a.right, a.py(line.y));
        drawText(cr, line.label, a.right - 4.0, a.py(line.y) - 4.0, 11.5, 1.0, 0.0);
    }
    cairo_restore(cr);
}

// The series, clipped to the plot area: lines through finite values, a dot
// for a finite value between two that are not.
void drawSeries(cairo_t* cr, const PlotArea& a, const Panel& panel) {
    cairo_save(cr);
    cairo_rectangle(cr, a.left, a.top, a.right - a.left, a.bottom - a.top);
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
            const double cx = a.px(static_cast<double>(i + 1)), cy = a.py(v);
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
}

void drawFrame(cairo_t* cr, const PlotArea& a) {
    setColour(cr, ink);
    cairo_set_line_width(cr, 1.0);
    cairo_rectangle(cr, std::round(a.left) + 0.5, std::round(a.top) + 0.5, std::round(a.right - a.left),
                    std::round(a.bottom - a.top));
    cairo_stroke(cr);
}

void drawLegend(cairo_t* cr, const PlotArea& a, const Panel& panel, double width) {
    if (!(width > 0.0)) return;
    double lx = a.right - width;
    const double ly = a.y + 5.0;
    cairo_rectangle(cr, lx, ly, width, 22.0);
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
}  // namespace

void drawPanel(cairo_t* cr, double x, double y, double width, double height, const Panel& panel) {
    const PlotArea area = plotArea(x, y, width, height, panel);
    const double legend = legendWidth(cr, panel);
    drawTitleAndNote(cr, area, panel, legend);
    drawAxes(cr, area, panel);
    drawReferenceLines(cr, area, panel);
    drawSeries(cr, area, panel);
    drawFrame(cr, area);
    drawLegend(cr, area, panel, legend);
}

}  // namespace korvanth::plot
