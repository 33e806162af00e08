#include "plugin/qc/voxel_model.h"

#include "tarvex/qc_conventions.h"

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace tarvex {

namespace {
template <int32_t N>
struct Scratch {
    float row[N];
    float beta[N];
    double u[N];
};
}  // namespace

std::vector<float> VoxelModel::updateRegression(float observed, std::vector<float> predictors) {
    const auto rowLength = static_cast<int32_t>(predictors.size());
    if (!isFirstSample && rowLength != predictorCount) return coefficients;
    if (rowLength == 7) {
        Scratch<7> scratch;
        regress<7>(observed, predictors.data(), 7, scratch.row, scratch.beta, scratch.u);
    } else if (rowLength <= smallRowLength) {
        Scratch<smallRowLength> scratch;
        regress<0>(observed, predictors.data(), rowLength, scratch.row, scratch.beta, scratch.u);
    } else {
        const auto un = static_cast<std::size_t>(rowLength);
        std::vector<float> row(un), beta(un);
        std::vector<double> u(un);
        regress<0>(observed, predictors.data(), rowLength, row.data(), beta.data(), u.data());
    }
    return coefficients;
}

// The regression update for a row of n predictors; N is n when it is known at
// compile time (the plug-in's row of seven), 0 otherwise. Both instances run
// the same operations in the same order. `row`, `b` and `u` are scratch for n
// entries each: the row and the coefficients are worked on in local copies,
// so that nothing the update writes can alias what it reads.
template <int32_t N>
void VoxelModel::regress(float observed, const float* x, int32_t rowLength, float* row, float* b, double* u) {
    const auto un = static_cast<std::size_t>(N > 0 ? N : rowLength);
    predictorCount = static_cast<int32_t>(un);
    if (isFirstSample) {
        sampleCount = 0;
        residualVariance = 0.0f;
        innovationMean = 0.0f;
        innovationSqDevSum = 0.0f;
        innovationSum = 0.0f;
        covariance.reset(new double[un * un]);
        coefficients.assign(un, 0.0f);
        for (std::size_t i = 0; i < un; ++i)
            for (std::size_t j = 0; j < un; ++j) covariance[i * un + j] = i == j ? initialCovarianceDiagonal : 0.0;
        predictedHistory.clear();
        innovationHistory.clear();
    }
    isFirstSample = false;
    sampleCount = sampleCount + 1;
    const int32_t d = sampleCount;

    float* const beta = coefficients.data();
    double* const p = covariance.get();
    for (std::size_t i = 0; i < un; ++i) {
        row[i] = x[i];
        b[i] = beta[i];
    }

    // Prediction pass: u = P x, c = 1 + x'P x (double); e = y - x'beta (float, left to right).
    // Each u(i) is summed over j ascending as x(j) * P(i, j) + u(i). P(i, j) is
    // read as P(j, i), the same bits (P is kept symmetric element for element),
    // so that the sums of all i advance together along one contiguous row.
    for (std::size_t i = 0; i < un; ++i) u[i] = 0.0;
    for (std::size_t j = 0; j < un; ++j) {
        const auto xj = static_cast<double>(row[j]);
        const double* const pj = p + j * un;
        for (std::size_t i = 0; i < un; ++i) u[i] = xj * pj[i] + u[i];
    }
    double c = 1.0;
    float e = observed;
    for (std::size_t i = 0; i < un; ++i) {
        c = c + static_cast<double>(row[i]) * u[i];
        const float product = row[i] * b[i];
        e = e - product;
    }

    // One rounding of the double difference, not the float sum of the products.
    const auto predicted = static_cast<float>(static_cast<double>(observed) - static_cast<double>(e));
    predictedHistory.push_back(predicted);
    innovationHistory.push_back(e);

    if (d > 1) {
        const float newest = e;  // the newest entry of innovationHistory
        const float sum = innovationSum + newest;
        const float mean = sum / static_cast<float>(d);
        const float deviation = newest - mean;
        const float squared = deviation * deviation;
        const float sqDevSum = squared + innovationSqDevSum;
        innovationSum = sum;
        innovationMean = mean;
        innovationSqDevSum = sqDevSum;
        residualVariance = sqDevSum / static_cast<float>(d - 1);
    }

    // Gain and update; only the upper triangle is read, so every element is
    // computed from P as it was before this sample: P := P - u u' / c.
    // The upper triangle row by row, then its mirror: no element below the
    // diagonal is read during the update, so writing them all at the end
    // gives the same block as writing each just after its twin.
    for (std::size_t i = 0; i < un; ++i) {
        const double k = u[i] / c;
        b[i] = static_cast<float>(static_cast<double>(e) * k + static_cast<double>(b[i]));
        double* const pi = p + i * un;
        for (std::size_t j = i; j < un; ++j) {
            const double product = u[j] * k;
            pi[j] = pi[j] - product;
        }
    }
    for (std::size_t i = 0; i < un; ++i)
        for (std::size_t j = i + 1; j < un; ++j) p[j * un + i] = p[i * un + j];
    for (std::size_t i = 0; i < un; ++i) beta[i] = b[i];
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

}  // namespace tarvex
