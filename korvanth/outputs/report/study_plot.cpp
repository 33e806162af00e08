#include "korvanth/outputs/report/study_plot.h"

#include "korvanth/outputs/report/drawing/plot.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>

namespace korvanth {

namespace {
constexpr int width = 760, height = 150;
constexpr double left = 24.0, right = 24.0, axisY = 112.0, bandTop = 34.0, bandBottom = 96.0;

// The value range drawn: the values and the fences, widened when they are one value.
void valueRange(const StudyFigure& f, double& lo, double& hi) {
    lo = f.lowFence;
    hi = f.highFence;
    for (const double v : f.values)
        if (std::isfinite(v)) lo = std::min(lo, v), hi = std::max(hi, v);
    if (!(hi > lo)) lo -= 1.0, hi += 1.0;
}

void drawAxis(cairo_t* cr, double lo, double hi, const std::vector<double>& ticks) {
    const auto x = [&](double v) { return left + (v - lo) / (hi - lo) * (width - left - right); };
    plot::setColour(cr, plot::rgbFromHex(0x444444));
    cairo_set_line_width(cr, 1.0);
    cairo_move_to(cr, left, axisY);
    cairo_line_to(cr, width - right, axisY);
    cairo_stroke(cr);
    const double step = ticks.size() > 1 ? ticks[1] - ticks[0] : 1.0;
    for (const double t : ticks) {
        if (t < lo || t > hi) continue;
        cairo_move_to(cr, x(t), axisY);
        cairo_line_to(cr, x(t), axisY + 4.0);
        cairo_stroke(cr);
        plot::drawText(cr, plot::formatTick(t, step), x(t), axisY + 18.0, 11.0, 0.5, 0.5);
    }
}
}  // namespace

bool writeStudyPlot(const std::string& path, const StudyFigure& f, std::string& error) {
    const SurfacePtr picture(cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height), cairo_surface_destroy);
    const ContextPtr context(cairo_create(picture.get()), cairo_destroy);
    cairo_t* const cr = context.get();
    cairo_set_source_rgb(cr, 1.0, 1.0, 1.0);
    cairo_paint(cr);
    double lo = 0.0, hi = 1.0;
    valueRange(f, lo, hi);
    const auto x = [&](double v) { return left + (v - lo) / (hi - lo) * (width - left - right); };
    plot::setColour(cr, plot::rgbFromHex(0x222222));
    plot::drawText(cr, f.title, left, 16.0, 13.0, 0.0, 0.5, true);
    drawAxis(cr, lo, hi, plot::niceTicks(lo, hi, 8));

    // The quartiles' box with the median, and the fences dashed.
    plot::setColour(cr, plot::rgbFromHex(0x1f77b4), 0.15);
    cairo_rectangle(cr, x(f.q1), bandTop, x(f.q3) - x(f.q1), bandBottom - bandTop);
    cairo_fill(cr);
    plot::setColour(cr, plot::rgbFromHex(0x1f77b4));
    cairo_set_line_width(cr, 2.0);
    cairo_move_to(cr, x(f.median), bandTop);
    cairo_line_to(cr, x(f.median), bandBottom);
    cairo_stroke(cr);
    const double dash[] = {4.0, 3.0};
    cairo_set_dash(cr, dash, 2, 0.0);
    cairo_set_line_width(cr, 1.0);
    plot::setColour(cr, plot::rgbFromHex(0xd62728));
    for (const double fence : {f.lowFence, f.highFence}) {
        cairo_move_to(cr, x(fence), bandTop - 6.0);
        cairo_line_to(cr, x(fence), bandBottom + 6.0);
        cairo_stroke(cr);
    }
    cairo_set_dash(cr, nullptr, 0, 0.0);

    // Every run a point, spread over the band by its place in the list (the
    // same picture for the same table); outliers in red.
    for (std::size_t k = 0; k < f.values.size(); ++k) {
        const double v = f.values[k];
        if (!std::isfinite(v)) continue;
        const double spread = std::fmod(static_cast<double>(k) * 0.6180339887498949, 1.0);
        const bool outlier = v < f.lowFence || v > f.highFence;
        plot::setColour(cr, plot::rgbFromHex(outlier ? 0xd62728 : 0x333333), 0.8);
        cairo_arc(cr, x(v), bandTop + 6.0 + spread * (bandBottom - bandTop - 12.0), outlier ? 4.0 : 3.0, 0.0,
                  2.0 * M_PI);
        cairo_fill(cr);
    }
    cairo_surface_flush(picture.get());
    const bool saved = cairo_surface_status(picture.get()) == CAIRO_STATUS_SUCCESS &&
                       cairo_surface_write_to_png(picture.get(), path.c_str()) == CAIRO_STATUS_SUCCESS;
    if (!saved) error = "cannot write " + path;
    return saved;
}

}  // namespace korvanth
