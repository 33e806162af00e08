// One figure across a study's runs, as a picture: every run a point along the
// value axis, the box of the quartiles with the median, and the fences beyond
// which a run counts as an outlier, its points drawn apart.
#pragma once

#include <string>
#include <vector>

namespace korvanth {

struct StudyFigure {
    std::string title;           // the figure's key
    std::vector<double> values;  // one per run; non-finite values are left out
    double q1 = 0.0, median = 0.0, q3 = 0.0;
    double lowFence = 0.0, highFence = 0.0;  // Q1 - 1.5 IQR and Q3 + 1.5 IQR
};

// Writes the figure's picture as a PNG to `path`. False with `error`.
bool writeStudyPlot(const std::string& path, const StudyFigure& figure, std::string& error);

}  // namespace korvanth
