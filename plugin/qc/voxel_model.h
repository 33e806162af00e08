// The statistics of one voxel over one run: the definition that the
// plug-in's lane update (lane_block.h) reproduces bit for bit, and the
// reference its checks compare with.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace tarvex {

// An incremental least-squares regression of the voxel's intensity on a row
// of predictors (recursive least squares, P seeded as 999 x identity, no
// forgetting), with a residual variance from the innovations, plus the running
// mean and standard deviation of the intensity and the tSNR divided by 30.
//
// Every operation computes in the width and the order written in its body:
// float where the code says float, double where it says double, sums taken
// left to right, one rounding where a double result is stored into a float.
// The maps that hosts display are defined by exactly these roundings, so a
// "tidier" formula (a fused multiply-add, a reordered sum, a float product
// kept in double, the textbook variance update) changes published results.
// The same holds for the statistics' own rules, which are deliberate: the
// innovation mean divides by the sample count although the sum lacks the first
// sample, the second signal sample adds (|v| - mean)^2, and the standard
// deviation uses the population divisor.
//
// Nothing is checked: zeros, infinities and NaNs flow through as IEEE values.
class VoxelModel {
public:
    VoxelModel() = default;

    // Feeds one sample: `observed` is the intensity, `predictors` the row (its
    // own copy). Returns a copy of the coefficients after the update. Every row
    // must have the length of the first one; a row of another length is
    // ignored and leaves the model as it was.
    std::vector<float> updateRegression(float observed, std::vector<float> predictors);

    // Feeds the same intensity to the signal statistics; must follow the
    // updateRegression of the same sample (it divides by its sample count).
    // Returns the new standard deviation.
    double updateSignalStatistics(double value);

    // t-value of coefficient j, 0 <= j < predictorCount, after at least one
    // regression update.
    double tValue(int32_t j) const {
        const auto n = static_cast<std::size_t>(predictorCount);
        const double diagonal = covariance[static_cast<std::size_t>(j) * (n + 1)];
        const double radicand = static_cast<double>(residualVariance) * diagonal;
        return static_cast<double>(coefficients[static_cast<std::size_t>(j)]) / std::sqrt(radicand);
    }

    // P before the first sample: this times the identity.
    static constexpr double initialCovarianceDiagonal = 999.0;

    // Rows up to this length are updated with scratch on the stack.
    static constexpr int32_t smallRowLength = 16;

    double signalSum = 0.0;
    double signalM2 = 0.0;
    double signalMean = 0.0;
    double signalSd = 0.0;
    double scaledTsnr = 0.0;
    std::unique_ptr<double[]> covariance;  // P, n x n row-major; none before the first update
    std::vector<float> coefficients;
    // One entry per regression update, for the whole life of the model.
    std::vector<float> predictedHistory;
    std::vector<float> innovationHistory;
    float residualVariance = 0.0f;
    float innovationMean = 0.0f;
    float innovationSqDevSum = 0.0f;
    float innovationSum = 0.0f;
    int32_t predictorCount = 0;
    bool isFirstSample = true;
    int32_t sampleCount = 0;

private:
    template <int32_t N>
    void regress(float observed, const float* x, int32_t n, float* row, float* b, double* u);
};

}  // namespace tarvex
