#include "floor.h"

#include "tarvex/qc_conventions.h"

#include <cmath>

namespace tarvex_bench {

namespace {
// Position of P(i, j) in the upper triangle stored row by row.
struct TriangleIndex {
    int values[floorPredictorCount][floorPredictorCount];
    constexpr TriangleIndex() : values() {
        for (int i = 0; i < floorPredictorCount; ++i)
            for (int j = 0; j < floorPredictorCount; ++j) {
                const int a = i < j ? i : j;
                const int b = i < j ? j : i;
                values[i][j] = a * floorPredictorCount - a * (a - 1) / 2 + (b - a);
            }
    }
    constexpr const int* operator[](int i) const { return values[i]; }
};
constexpr TriangleIndex triangleIndex;
}  // namespace

FloorRun::FloorRun(int32_t voxelCount, int16_t* const* timeCourse, std::vector<float> maps)
    : voxelCount_(voxelCount), timeCourse_(timeCourse), maps_(std::move(maps)) {
    int32_t masked = 0;
    for (int32_t v = 0; v < voxelCount; ++v)
        if (timeCourse[0][v] > tarvex::maskThreshold) ++masked;
    state_.resize(static_cast<std::size_t>(masked));
    for (VoxelState& s : state_) {
        int index = 0;
        for (int i = 0; i < floorPredictorCount; ++i)
            for (int j = i; j < floorPredictorCount; ++j) s.p[index++] = i == j ? 999.0 : 0.0;
        for (float& b : s.beta) b = 0.0f;
        s.signalSum = s.signalM2 = s.signalMean = 0.0;
        s.residualVariance = s.innovationMean = s.innovationSqDevSum = s.innovationSum = 0.0f;
        s.sampleCount = 0;
    }
}

void FloorRun::step(int32_t step, const PredictorRow& row) {
    constexpr int n = floorPredictorCount;
    const int16_t* const first = timeCourse_[0];
    const int16_t* const current = timeCourse_[step];
    const float* const x = row.data();
    float* const maps = maps_.data();
    const int32_t count = voxelCount_;
    VoxelState* s = state_.data();

    for (int32_t v = 0; v < count; ++v) {
        if (first[v] <= tarvex::maskThreshold) continue;
        const int16_t intensity = current[v];
        const auto y = static_cast<float>(intensity);
        double* const p = s->p;
        float* const beta = s->beta;
        const int32_t d = ++s->sampleCount;

        // u = P x, c = 1 + x'P x, e = y - x'beta in float, left to right.
        double u[n];
        double c = 1.0;
        float e = y;
        for (int i = 0; i < n; ++i) {
            double ui = 0.0;
            for (int j = 0; j < n; ++j) ui = static_cast<double>(x[j]) * p[triangleIndex[i][j]] + ui;
            u[i] = ui;
            c = c + static_cast<double>(x[i]) * ui;
            const float product = x[i] * beta[i];
            e = e - product;
        }
        if (d > 1) {
            s->innovationSum = s->innovationSum + e;
            s->innovationMean = s->innovationSum / static_cast<float>(d);
            const float deviation = e - s->innovationMean;
            s->innovationSqDevSum = deviation * deviation + s->innovationSqDevSum;
            s->residualVariance = s->innovationSqDevSum / static_cast<float>(d - 1);
        }
        int index = 0;
        for (int i = 0; i < n; ++i) {
            const double k = u[i] / c;
            beta[i] = static_cast<float>(static_cast<double>(e) * k + static_cast<double>(beta[i]));
            for (int j = i; j < n; ++j, ++index) p[index] = p[index] - u[j] * k;
        }

        // Signal statistics.
        const double value = static_cast<double>(intensity);
        const auto samples = static_cast<double>(d);
        const double previousMean = s->signalMean;
        s->signalSum = value + s->signalSum;
        s->signalMean = s->signalSum / samples;
        if (d == 2) {
            const double deviation = std::fabs(value) - s->signalMean;
            s->signalM2 = deviation * deviation + s->signalM2;
        } else if (d > 2) {
            s->signalM2 = (value - s->signalMean) * (value - previousMean) + s->signalM2;
        }
        const double sd = std::sqrt(s->signalM2 / samples);
        const double tsnr = s->signalMean / sd / tarvex::tsnrScale;

        // The eight map entries.
        const auto variance = static_cast<double>(s->residualVariance);
        int diagonal = 0;
        for (int j = 0; j < n; ++j) {
            double t = static_cast<double>(beta[j]) / std::sqrt(variance * p[diagonal]);
            if (j == n - 1) t = t / tarvex::constantTScale;
            maps[v + j * count] = static_cast<float>(t);
            diagonal += n - j;
        }
        maps[v + n * count] = static_cast<float>(tsnr);
        ++s;
    }
}

}  // namespace tarvex_bench
