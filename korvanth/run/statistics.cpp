#include "korvanth/run/statistics.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

namespace korvanth {

namespace {
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// The value of rank `rank` (from 0) in ascending order.
double valueOfRank(std::vector<double>& values, std::size_t rank) {
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(rank), values.end());
    return values[rank];
}
}  // namespace

double median(std::vector<double> values) {
    if (values.empty()) return nan;
    const std::size_t mid = values.size() / 2;
    const double upper = valueOfRank(values, mid);
    if (values.size() % 2 == 1) return upper;
    const double lower = *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid));
    return (lower + upper) / 2.0;
}

double nearestRankPercentile(std::vector<double> values, double p) {
    if (values.empty()) return nan;
    const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(values.size())));
    return valueOfRank(values, std::min(values.size() - 1, rank > 0 ? rank - 1 : 0));
}

double lowerQuantile(std::vector<double> values, double q) {
    if (values.empty()) return nan;
    return valueOfRank(values, static_cast<std::size_t>(std::floor(q * static_cast<double>(values.size() - 1))));
}

double interpolatedQuantile(std::vector<double> values, double q) {
    if (values.empty()) return nan;
    const double position = q * static_cast<double>(values.size() - 1);
    const auto below = static_cast<std::size_t>(std::floor(position));
    const double lower = valueOfRank(values, below);
    if (below + 1 >= values.size()) return lower;
    const double upper = *std::min_element(values.begin() + static_cast<std::ptrdiff_t>(below) + 1, values.end());
    return lower + (position - static_cast<double>(below)) * (upper - lower);
}

}  // namespace korvanth
