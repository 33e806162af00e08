#include "plugin/qc/lane_update.h"

#include "plugin/qc/voxel_model.h"

#include <cmath>

#if defined(TARVEX_LANES_AVX2)
#include <cpuid.h>
#endif

namespace tarvex {

namespace {
// The lanes as plain arrays, for processors without a set of their own and
// as the reference the vector sets are checked against.
struct PortableLanes {
    template <typename T>
    struct Lanes {
        T v[laneCount];
    };
    using D = Lanes<double>;
    using F = Lanes<float>;
    using I = Lanes<int32_t>;

    template <typename T, typename Op>
    static Lanes<T> each(Op op) {
        Lanes<T> r;
        for (int32_t k = 0; k < laneCount; ++k) r.v[k] = op(k);
        return r;
    }
    template <typename T>
    static Lanes<T> load(const T* p) {
        return each<T>([&](int32_t k) { return p[k]; });
    }
    template <typename T>
    static void store(T* p, const Lanes<T>& a) {
        for (int32_t k = 0; k < laneCount; ++k) p[k] = a.v[k];
    }
    // Masks: all lanes' selections as lanes of the value type, 1 or 0.
    template <typename T>
    static Lanes<T> select(const Lanes<T>& mask, const Lanes<T>& chosen, const Lanes<T>& other) {
        return each<T>([&](int32_t k) { return mask.v[k] != 0 ? chosen.v[k] : other.v[k]; });
    }

    static D load(const double* p) { return load<double>(p); }
    static void store(double* p, const D& a) { store<double>(p, a); }
    static D set(double x) {
        return each<double>([&](int32_t) { return x; });
    }
    static D add(const D& a, const D& b) {
        return each<double>([&](int32_t k) { return a.v[k] + b.v[k]; });
    }
    static D sub(const D& a, const D& b) {
        return each<double>([&](int32_t k) { return a.v[k] - b.v[k]; });
    }
    static D mul(const D& a, const D& b) {
        return each<double>([&](int32_t k) { return a.v[k] * b.v[k]; });
    }
    static D div(const D& a, const D& b) {
        return each<double>([&](int32_t k) { return a.v[k] / b.v[k]; });
    }
    static D sqrt(const D& a) {
        return each<double>([&](int32_t k) { return std::sqrt(a.v[k]); });
    }
    static D abs(const D& a) {
        return each<double>([&](int32_t k) { return std::fabs(a.v[k]); });
    }
    static D equal(const D& a, const D& b) {
        return each<double>([&](int32_t k) { return a.v[k] == b.v[k] ? 1.0 : 0.0; });
    }
    static D greater(const D& a, const D& b) {
        return each<double>([&](int32_t k) { return a.v[k] > b.v[k] ? 1.0 : 0.0; });
    }
    static D widen(const F& a) {
        return each<double>([&](int32_t k) { return static_cast<double>(a.v[k]); });
    }
    static F narrow(const D& a) {
        return each<float>([&](int32_t k) { return static_cast<float>(a.v[k]); });
    }
    static D doubleOf(const I& a) {
        return each<double>([&](int32_t k) { return static_cast<double>(a.v[k]); });
    }

    static F loadF(const float* p) { return load<float>(p); }
    static void storeF(float* p, const F& a) { store<float>(p, a); }
    static void storeUnalignedF(float* p, const F& a) { store<float>(p, a); }
    static F setF(float x) {
        return each<float>([&](int32_t) { return x; });
    }
    static F addF(const F& a, const F& b) {
        return each<float>([&](int32_t k) { return a.v[k] + b.v[k]; });
    }
    static F subF(const F& a, const F& b) {
        return each<float>([&](int32_t k) { return a.v[k] - b.v[k]; });
    }
    static F mulF(const F& a, const F& b) {
        return each<float>([&](int32_t k) { return a.v[k] * b.v[k]; });
    }
    static F divF(const F& a, const F& b) {
        return each<float>([&](int32_t k) { return a.v[k] / b.v[k]; });
    }
    static F greaterF(const F& a, const F& b) {
        return each<float>([&](int32_t k) { return a.v[k] > b.v[k] ? 1.0f : 0.0f; });
    }
    static F selectF(const F& mask, const F& chosen, const F& other) { return select<float>(mask, chosen, other); }
    static F floatOf(const I& a) {
        return each<float>([&](int32_t k) { return static_cast<float>(a.v[k]); });
    }

    static I loadI(const int32_t* p) { return load<int32_t>(p); }
    static I loadUnalignedI(const int32_t* p) { return load<int32_t>(p); }
    static void storeI(int32_t* p, const I& a) { store<int32_t>(p, a); }
    static I setI(int32_t x) {
        return each<int32_t>([&](int32_t) { return x; });
    }
    static I addI(const I& a, const I& b) {
        return each<int32_t>([&](int32_t k) { return a.v[k] + b.v[k]; });
    }
    static I subI(const I& a, const I& b) {
        return each<int32_t>([&](int32_t k) { return a.v[k] - b.v[k]; });
    }
};

void updateLanesPortable(LaneBlock& block, const float* row, const LaneSamples& samples, LaneMapValues& maps) {
    updateLanes<PortableLanes>(block, row, samples, maps);
}

#if defined(TARVEX_LANES_AVX2)
// AVX2 instructions, and an operating system that saves the 256-bit registers.
bool processorRunsAvx2() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0) return false;
    if ((c & bit_OSXSAVE) == 0 || (c & bit_AVX) == 0) return false;
    unsigned low = 0, high = 0;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    constexpr unsigned sseAndAvxState = 0x6;
    if ((low & sseAndAvxState) != sseAndAvxState) return false;
    if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return false;
    return (b & bit_AVX2) != 0;
}
#endif
}  // namespace

LaneBlock freshLaneBlock() {
    LaneBlock block{};
    for (int32_t i = 0; i < lanePredictorCount; ++i)
        for (int32_t lane = 0; lane < laneCount; ++lane)
            block.covariance[triangleIndex(i, i)][lane] = VoxelModel::initialCovarianceDiagonal;
    return block;
}

void copyLane(LaneBlock& to, const LaneBlock& from, int32_t lane) {
    for (int32_t k = 0; k < laneTriangleSize; ++k) to.covariance[k][lane] = from.covariance[k][lane];
    to.signalSum[lane] = from.signalSum[lane];
    to.signalM2[lane] = from.signalM2[lane];
    to.signalMean[lane] = from.signalMean[lane];
    for (int32_t k = 0; k < lanePredictorCount; ++k) to.coefficients[k][lane] = from.coefficients[k][lane];
    to.innovationSum[lane] = from.innovationSum[lane];
    to.innovationSqDevSum[lane] = from.innovationSqDevSum[lane];
    to.sampleCount[lane] = from.sampleCount[lane];
}

LaneUpdate laneUpdate(LaneInstructions instructions) {
    switch (instructions) {
        case LaneInstructions::Portable:
            return updateLanesPortable;
        case LaneInstructions::Sse2:
#if defined(TARVEX_LANES_SSE2)
            return updateLanesSse2;
#else
            return nullptr;
#endif
        case LaneInstructions::Avx2:
#if defined(TARVEX_LANES_AVX2)
            return fastestLaneInstructions() == LaneInstructions::Avx2 ? updateLanesAvx2 : nullptr;
#else
            return nullptr;
#endif
    }
    return nullptr;
}

LaneInstructions fastestLaneInstructions() {
#if defined(TARVEX_LANES_AVX2)
    static const bool avx2 = processorRunsAvx2();
    if (avx2) return LaneInstructions::Avx2;
#endif
#if defined(TARVEX_LANES_SSE2)
    return LaneInstructions::Sse2;
#else
    return LaneInstructions::Portable;
#endif
}

}  // namespace tarvex
