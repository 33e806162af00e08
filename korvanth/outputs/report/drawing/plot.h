// Drawing helpers of the report room: colour scales, axis ticks and line
// plots drawn with cairo. Private to the room (outputs/report/drawing/ is on
// no other library's include path): cairo stays behind its public headers.
#pragma once

#include <cairo.h>

#include <memory>
#include <string>
#include <vector>

namespace korvanth {

using SurfacePtr = std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)>;
using ContextPtr = std::unique_ptr<cairo_t, decltype(&cairo_destroy)>;

}  // namespace korvanth

namespace korvanth::plot {

struct Rgb {
    double r = 0.0, g = 0.0, b = 0.0;
};

Rgb rgbFromHex(unsigned hex);

// Blue (-1) through near-white (0) to red (+1); arguments are clamped.
Rgb divergingColour(double t);
// Dark blue (0) to near-white (1); arguments are clamped.
Rgb sequentialColour(double t);

// Evenly spaced "nice" tick values (steps of 1, 2 or 5 times a power of ten)
// covering [lo, hi], about `target` of them.
std::vector<double> niceTicks(double lo, double hi, int target);
// A tick label with as many decimals as the tick step needs.
std::string formatTick(double value, double step);

void setColour(cairo_t* cr, const Rgb& colour, double alpha = 1.0);
// Toy-API text; `alignX` 0 = left, 0.5 = centred, 1 = right, with the
// baseline at y + ascent * alignY fraction (0.5 centres the capital height).
void drawText(cairo_t* cr, const std::string& text, double x, double y, double size, double alignX, double alignY,
              bool bold = false);

struct Series {
    std::string label;
    std::vector<double> values;  // one per volume; non-finite values break the line
    Rgb colour;
};

struct ReferenceLine {
    double y = 0.0;
    std::string label;
    Rgb colour;
};

struct Panel {
    std::string title;
    std::string xLabel;
    std::string yLabel;
    std::vector<Series> series;
    std::vector<ReferenceLine> lines;  // dashed, horizontal, always within the y range
    bool yFromZero = false;            // y axis starts at 0 (or below when data are negative)
    std::string note;                  // small text at the top right, under the title
};

// Draws one panel (axes, grid, ticks, series, reference lines, legend) inside
// the rectangle; x is the volume number, 1 for the first value.
void drawPanel(cairo_t* cr, double x, double y, double width, double height, const Panel& panel);

}  // namespace korvanth::plot
