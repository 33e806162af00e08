// The order statistics Korvanth reports, one definition each, so that the
// terminal, the report, the live view and the benchmarks agree on a number.
// Each takes its values by copy (they are reordered) and ignores nothing:
// callers pass finite values.
#pragma once

#include <vector>

namespace korvanth {

// The middle value, or the mean of the two middle values; NaN when there are none.
double median(std::vector<double> values);

// The nearest-rank percentile: the smallest value that at least a fraction `p`
// (0 < p <= 1) of the values are at or below; NaN when there are none. What
// the latencies' "95th percentile" means.
double nearestRankPercentile(std::vector<double> values, double p);

// The value at rank floor(q * (n - 1)) in ascending order (0 <= q <= 1), the
// lower neighbour of the interpolated quantile: never above the interpolated
// one, so a colour scale's end chosen with it is a value that occurs; NaN when
// there are none.
double lowerQuantile(std::vector<double> values, double q);

// The quantile interpolated linearly between the values of ranks floor and
// ceil of q * (n - 1) (0 <= q <= 1): the quartiles a study's outliers are
// judged by; NaN when there are none.
double interpolatedQuantile(std::vector<double> values, double q);

}  // namespace korvanth
