// The lane update with SSE2, which every x86-64 processor has: the four
// doubles of a lane block in two registers.
#include "plugin/qc/lane_update.h"

#if defined(TARVEX_LANES_SSE2)

namespace tarvex {

namespace {
struct Sse2Lanes : SseFloatLanes {
    struct D {
        __m128d low, high;
    };
    static D load(const double* p) { return {_mm_load_pd(p), _mm_load_pd(p + 2)}; }
    static void store(double* p, D v) {
        _mm_store_pd(p, v.low);
        _mm_store_pd(p + 2, v.high);
    }
    static D set(double x) { return {_mm_set1_pd(x), _mm_set1_pd(x)}; }
    static D add(D a, D b) { return {_mm_add_pd(a.low, b.low), _mm_add_pd(a.high, b.high)}; }
    static D sub(D a, D b) { return {_mm_sub_pd(a.low, b.low), _mm_sub_pd(a.high, b.high)}; }
    static D mul(D a, D b) { return {_mm_mul_pd(a.low, b.low), _mm_mul_pd(a.high, b.high)}; }
    static D div(D a, D b) { return {_mm_div_pd(a.low, b.low), _mm_div_pd(a.high, b.high)}; }
    static D sqrt(D a) { return {_mm_sqrt_pd(a.low), _mm_sqrt_pd(a.high)}; }
    static D abs(D a) {
        const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffffLL));
        return {_mm_and_pd(a.low, magnitude), _mm_and_pd(a.high, magnitude)};
    }
    static D equal(D a, D b) { return {_mm_cmpeq_pd(a.low, b.low), _mm_cmpeq_pd(a.high, b.high)}; }
    static D greater(D a, D b) { return {_mm_cmpgt_pd(a.low, b.low), _mm_cmpgt_pd(a.high, b.high)}; }
    static D select(D mask, D chosen, D other) {
        return {_mm_or_pd(_mm_and_pd(mask.low, chosen.low), _mm_andnot_pd(mask.low, other.low)),
                _mm_or_pd(_mm_and_pd(mask.high, chosen.high), _mm_andnot_pd(mask.high, other.high))};
    }
    static D widen(F v) { return {_mm_cvtps_pd(v), _mm_cvtps_pd(_mm_movehl_ps(v, v))}; }
    static F narrow(D v) { return _mm_movelh_ps(_mm_cvtpd_ps(v.low), _mm_cvtpd_ps(v.high)); }
    static D doubleOf(I v) { return {_mm_cvtepi32_pd(v), _mm_cvtepi32_pd(_mm_shuffle_epi32(v, 0xee))}; }
};
}  // namespace

void updateLanesSse2(LaneBlock& block, const float* row, const LaneSamples& samples, LaneMapValues& maps) {
    updateLanes<Sse2Lanes>(block, row, samples, maps);
}

}  // namespace tarvex

#endif
