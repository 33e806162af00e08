// The lane update with AVX2: the four doubles of a lane block in one register.
// Built with the compiler's AVX2 flag (and without FMA, which would contract
// the multiply-adds) and run only where laneUpdate has found AVX2 at run time.
#include "plugin/qc/lane_update.h"

#include <immintrin.h>

namespace tarvex {

namespace {
struct Avx2Lanes : SseFloatLanes {
    using D = __m256d;
    static D load(const double* p) { return _mm256_load_pd(p); }
    static void store(double* p, D v) { _mm256_store_pd(p, v); }
    static D set(double x) { return _mm256_set1_pd(x); }
    static D add(D a, D b) { return _mm256_add_pd(a, b); }
    static D sub(D a, D b) { return _mm256_sub_pd(a, b); }
    static D mul(D a, D b) { return _mm256_mul_pd(a, b); }
    static D div(D a, D b) { return _mm256_div_pd(a, b); }
    static D sqrt(D a) { return _mm256_sqrt_pd(a); }
    static D abs(D a) { return _mm256_and_pd(a, _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffffLL))); }
    static D equal(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
    static D greater(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_GT_OQ); }
    static D select(D mask, D chosen, D other) { return _mm256_blendv_pd(other, chosen, mask); }
    static D widen(F v) { return _mm256_cvtps_pd(v); }
    static F narrow(D v) { return _mm256_cvtpd_ps(v); }
    static D doubleOf(I v) { return _mm256_cvtepi32_pd(v); }
};
}  // namespace

void updateLanesAvx2(LaneBlock& block, const float* row, const LaneSamples& samples, LaneMapValues& maps) {
    updateLanes<Avx2Lanes>(block, row, samples, maps);
}

}  // namespace tarvex
