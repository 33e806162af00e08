// The lane update, written once for every instruction set. Each of
// lane_update*.cpp includes this header and instantiates updateLanes with the
// operations of its set, compiled with that set's flags. Everything defined
// here has internal linkage, so the linker can never hand one file's copy (say
// one with AVX2 instructions) to another.
//
// Every operation below is lane-wise and is the one VoxelModel runs for that
// value, with the same operands in the same order and width: a multiply and
// an add stay two roundings, nothing is reassociated, and division and square
// root are the correctly rounded IEEE operations in every set. Branches of the
// scalar model on the sample count become selections between the kept and the
// new value, so each lane ends with exactly the value its own branch gives.
#pragma once

#include "plugin/qc/lane_block.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define TARVEX_LANES_SSE2 1
#endif

// The loops over the seven predictors run in full, so that every position in
// the triangle is a constant.
#if defined(__GNUC__)
#define TARVEX_UNROLLED _Pragma("GCC unroll 8")
#else
#define TARVEX_UNROLLED
#endif

namespace tarvex {

#if defined(TARVEX_LANES_SSE2)
void updateLanesSse2(LaneBlock& block, const float* row, const LaneSamples& samples, LaneMapValues& maps);
#endif
#if defined(TARVEX_LANES_AVX2)
void updateLanesAvx2(LaneBlock& block, const float* row, const LaneSamples& samples, LaneMapValues& maps);
#endif

namespace {

// Position of P(i, j) in the upper triangle stored row by row.
constexpr int32_t triangleIndex(int32_t i, int32_t j) {
    const int32_t a = i < j ? i : j;
    const int32_t b = i < j ? j : i;
    return a * lanePredictorCount - a * (a - 1) / 2 + (b - a);
}

#if defined(TARVEX_LANES_SSE2)
// Four floats and four 32-bit integers in one SSE register, for the sets
// whose doubles differ (SSE2 and AVX2 both use these).
struct SseFloatLanes {
    using F = __m128;
    using I = __m128i;
    static F loadF(const float* p) { return _mm_load_ps(p); }
    static void storeF(float* p, F v) { _mm_store_ps(p, v); }
    static void storeUnalignedF(float* p, F v) { _mm_storeu_ps(p, v); }
    static F setF(float x) { return _mm_set1_ps(x); }
    static F addF(F a, F b) { return _mm_add_ps(a, b); }
    static F subF(F a, F b) { return _mm_sub_ps(a, b); }
    static F mulF(F a, F b) { return _mm_mul_ps(a, b); }
    static F divF(F a, F b) { return _mm_div_ps(a, b); }
    static F greaterF(F a, F b) { return _mm_cmpgt_ps(a, b); }
    static F selectF(F mask, F chosen, F other) {
        return _mm_or_ps(_mm_and_ps(mask, chosen), _mm_andnot_ps(mask, other));
    }
    static I loadI(const int32_t* p) { return _mm_load_si128(reinterpret_cast<const __m128i*>(p)); }
    static I loadUnalignedI(const int32_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
    static void storeI(int32_t* p, I v) { _mm_store_si128(reinterpret_cast<__m128i*>(p), v); }
    static I setI(int32_t x) { return _mm_set1_epi32(x); }
    static I addI(I a, I b) { return _mm_add_epi32(a, b); }
    static I subI(I a, I b) { return _mm_sub_epi32(a, b); }
    static F floatOf(I v) { return _mm_cvtepi32_ps(v); }
};
#endif

// One sample for every lane of `block`; see LaneUpdate.
template <class L>
void updateLanes(LaneBlock& block, const float* row, const LaneSamples& samples, LaneMapValues& maps) {
    using D = typename L::D;
    using F = typename L::F;
    using I = typename L::I;
    constexpr int32_t n = lanePredictorCount;
    static_assert(pluginMapCount == n + 1, "one map per coefficient, then the tSNR");

    const I count = L::addI(L::loadI(block.sampleCount), L::setI(1));
    L::storeI(block.sampleCount, count);

    // Prediction pass: u = P x and c = 1 + x'P x in double, each u(i) summed
    // over j ascending from 0.0; e = y - x'beta in float, left to right.
    D x[n];
    TARVEX_UNROLLED
    for (int32_t j = 0; j < n; ++j) x[j] = L::set(static_cast<double>(row[j]));
    D u[n];
    TARVEX_UNROLLED
    for (int32_t i = 0; i < n; ++i) {
        D sum = L::set(0.0);
        TARVEX_UNROLLED
        for (int32_t j = 0; j < n; ++j) sum = L::add(L::mul(x[j], L::load(block.covariance[triangleIndex(i, j)])), sum);
        u[i] = sum;
    }
    D c = L::set(1.0);
    F e = L::floatOf(L::loadUnalignedI(samples.regression));
    F beta[n];
    TARVEX_UNROLLED
    for (int32_t i = 0; i < n; ++i) {
        c = L::add(c, L::mul(x[i], u[i]));
        beta[i] = L::loadF(block.coefficients[i]);
        e = L::subF(e, L::mulF(L::setF(row[i]), beta[i]));
    }

    // Innovation statistics, from the second sample on; the residual
    // variance is 0 until then.
    F residualVariance;
    {
        const F samplesSoFar = L::floatOf(count);
        const F later = L::greaterF(samplesSoFar, L::setF(1.0f));
        const F oldSum = L::loadF(block.innovationSum);
        const F oldSqDevSum = L::loadF(block.innovationSqDevSum);
        const F sum = L::addF(oldSum, e);
        const F mean = L::divF(sum, samplesSoFar);
        const F deviation = L::subF(e, mean);
        const F sqDevSum = L::addF(L::mulF(deviation, deviation), oldSqDevSum);
        const F variance = L::divF(sqDevSum, L::floatOf(L::subI(count, L::setI(1))));
        L::storeF(block.innovationSum, L::selectF(later, sum, oldSum));
        L::storeF(block.innovationSqDevSum, L::selectF(later, sqDevSum, oldSqDevSum));
        residualVariance = L::selectF(later, variance, L::setF(0.0f));
    }

    // Gain and update: P := P - u u' / c on the triangle, beta += e k.
    const D wideE = L::widen(e);
    TARVEX_UNROLLED
    for (int32_t i = 0; i < n; ++i) {
        const D k = L::div(u[i], c);
        beta[i] = L::narrow(L::add(L::mul(wideE, k), L::widen(beta[i])));
        L::storeF(block.coefficients[i], beta[i]);
        TARVEX_UNROLLED
        for (int32_t j = i; j < n; ++j) {
            double* const p = block.covariance[triangleIndex(i, j)];
            L::store(p, L::sub(L::load(p), L::mul(u[j], k)));
        }
    }

    // Signal statistics: the second sample adds (|v| - mean)^2, later ones
    // (v - mean) (v - previous mean); population divisor.
    const D value = L::doubleOf(L::loadUnalignedI(samples.statistics));
    const D samplesSoFar = L::doubleOf(count);
    const D previousMean = L::load(block.signalMean);
    const D oldM2 = L::load(block.signalM2);
    const D signalSum = L::add(value, L::load(block.signalSum));
    const D mean = L::div(signalSum, samplesSoFar);
    const D secondDeviation = L::sub(L::abs(value), mean);
    const D secondM2 = L::add(L::mul(secondDeviation, secondDeviation), oldM2);
    const D laterM2 = L::add(L::mul(L::sub(value, mean), L::sub(value, previousMean)), oldM2);
    const D m2 = L::select(L::equal(samplesSoFar, L::set(2.0)), secondM2,
                           L::select(L::greater(samplesSoFar, L::set(2.0)), laterM2, oldM2));
    L::store(block.signalSum, signalSum);
    L::store(block.signalMean, mean);
    L::store(block.signalM2, m2);
    const D sd = L::sqrt(L::div(m2, samplesSoFar));
    const D tsnr = L::div(L::div(mean, sd), L::set(tsnrScale));

    // The map entries: t(j) = beta(j) / sqrt(variance P(j, j)), the constant's / 100.
    const D variance = L::widen(residualVariance);
    TARVEX_UNROLLED
    for (int32_t j = 0; j < n; ++j) {
        const D diagonal = L::load(block.covariance[triangleIndex(j, j)]);
        D t = L::div(L::widen(beta[j]), L::sqrt(L::mul(variance, diagonal)));
        if (j == n - 1) t = L::div(t, L::set(constantTScale));
        L::storeUnalignedF(maps.values[j], L::narrow(t));
    }
    L::storeUnalignedF(maps.values[n], L::narrow(tsnr));
}

}  // namespace
}  // namespace tarvex
