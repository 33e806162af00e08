#include "voxel_model.h"

#include <cmath>
#include <cstddef>

namespace tarvex {

namespace {
constexpr double initialCovarianceDiagonal = 999.0;
constexpr double tsnrScale = 30.0;
}  // namespace

std::vector<float> VoxelModel::updateRegression(float observed, std::vector<float> predictors) {
    const auto rowLength = static_cast<int32_t>(predictors.size());
    if (!isFirstSample && rowLength != predictorCount) return coefficients;

    const int32_t n = rowLength;
    const auto un = static_cast<std::size_t>(n);
    predictorCount = n;
    if (isFirstSample) {
        sampleCount = 0;
        residualVariance = 0.0f;
        innovationMean = 0.0f;
        innovationSqDevSum = 0.0f;
        innovationSum = 0.0f;
        covariance.reset(new double[un * un]);
        coefficients.assign(un, 0.0f);
        for (std::size_t i = 0; i < un; ++i)
            for (std::size_t j = 0; j < un; ++j)
                covariance[i * un + j] = i == j ? initialCovarianceDiagonal : 0.0;
        predictedHistory.clear();
        innovationHistory.clear();
    }
    isFirstSample = false;
    sampleCount = sampleCount + 1;
    const int32_t d = sampleCount;

    const float* const x = predictors.data();
    float* const beta = coefficients.data();
    double* const p = covariance.get();

    // Prediction pass: u = P x, c = 1 + x'P x (double); e = y - x'beta (float, left to right).
    std::vector<double> u(un);
    double c = 1.0;
    float e = observed;
    for (std::size_t i = 0; i < un; ++i) {
        double ui = 0.0;
        for (std::size_t j = 0; j < un; ++j) ui = static_cast<double>(x[j]) * p[i * un + j] + ui;
        u[i] = ui;
        c = c + static_cast<double>(x[i]) * ui;
        const float product = x[i] * beta[i];
        e = e - product;
    }

    // One rounding of the double difference, not the float sum of the products.
    const auto predicted = static_cast<float>(static_cast<double>(observed) - static_cast<double>(e));
    predictedHistory.push_back(predicted);
    innovationHistory.push_back(e);

    if (d > 1) {
        const float newest = innovationHistory.back();
        innovationSum = innovationSum + newest;
        innovationMean = innovationSum / static_cast<float>(d);
        const float deviation = newest - innovationMean;
        const float squared = deviation * deviation;
        innovationSqDevSum = squared + innovationSqDevSum;
        residualVariance = innovationSqDevSum / static_cast<float>(d - 1);
    }

    // Gain and update; only the upper triangle is read, so every element is
    // computed from P as it was before this sample: P := P - u u' / c.
    std::vector<double> k(un);
    for (std::size_t i = 0; i < un; ++i) {
        k[i] = u[i] / c;
        beta[i] = static_cast<float>(static_cast<double>(e) * k[i] + static_cast<double>(beta[i]));
        for (std::size_t j = i; j < un; ++j) {
            const double product = u[j] * k[i];
            p[i * un + j] = p[i * un + j] - product;
            p[j * un + i] = p[i * un + j];
        }
    }
    return coefficients;
}

double VoxelModel::updateSignalStatistics(double value) {
    const auto count = static_cast<double>(sampleCount);
    const double previousMean = signalMean;
    signalSum = value + signalSum;
    signalMean = signalSum / count;
    if (sampleCount == 2) {
        const double deviation = std::fabs(value) - signalMean;
        signalM2 = deviation * deviation + signalM2;
    } else if (sampleCount > 2) {
        const double product = (value - signalMean) * (value - previousMean);
        signalM2 = product + signalM2;
    }
    signalSd = std::sqrt(signalM2 / count);
    scaledTsnr = signalMean / signalSd / tsnrScale;
    return signalSd;
}

double VoxelModel::tValue(int32_t j) const {
    const auto n = static_cast<std::size_t>(predictorCount);
    const double diagonal = covariance[static_cast<std::size_t>(j) * (n + 1)];
    const double radicand = static_cast<double>(residualVariance) * diagonal;
    return static_cast<double>(coefficients[static_cast<std::size_t>(j)]) / std::sqrt(radicand);
}

}  // namespace tarvex
