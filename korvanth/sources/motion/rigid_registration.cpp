#include "korvanth/sources/motion/rigid_registration.h"

#include <Eigen/Dense>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <limits>
#include <mutex>
#include <thread>

namespace korvanth {

namespace {

using Matrix4 = Eigen::Matrix4d;
using Vector7 = Eigen::Matrix<double, 7, 1>;
using Matrix7 = Eigen::Matrix<double, 7, 7>;

// The sphere on which a rotation step is turned into mm of arc, as in
// framewise displacement.
constexpr double sphereRadiusMm = 50.0;

Matrix4 homogeneous(const double m[3][4]) {
    Matrix4 h = Matrix4::Identity();
    for (int row = 0; row < 3; ++row)
        for (int column = 0; column < 4; ++column) h(row, column) = m[row][column];
    return h;
}

RigidTransform rigidOf(const Matrix4& h) {
    RigidTransform t;
    for (int row = 0; row < 3; ++row)
        for (int column = 0; column < 4; ++column) t.m[row][column] = h(row, column);
    return t;
}

// e^x for the kernel weights from IEEE arithmetic alone: x = k ln 2 + r with
// |r| <= ln 2 / 2, e^r by its Taylor series, scaled by 2^k exactly.
double portableExp(double x) {
    constexpr double ln2 = 0.69314718055994530942;
    const double k = std::floor(x / ln2 + 0.5);
    const double r = x - k * ln2;
    double term = 1.0, sum = 1.0;
    for (int n = 1; n <= 24; ++n) {
        term = term * r / n;
        sum += term;
    }
    return std::ldexp(sum, static_cast<int>(k));
}

// A float volume on the series' grid, x fastest.
struct Grid {
    int32_t n[3];
    std::size_t count() const { return static_cast<std::size_t>(n[0]) * n[1] * n[2]; }
    std::size_t index(int32_t i, int32_t j, int32_t k) const {
        return (static_cast<std::size_t>(k) * n[1] + j) * n[0] + i;
    }
};

// A normalised Gaussian of `sigma` voxels, cut at three sigma; a single tap
// for a sigma too small to matter.
std::vector<float> gaussianKernel(double sigma) {
    if (sigma < 0.1) return {1.0f};
    const int radius = static_cast<int>(std::ceil(3.0 * sigma));
    std::vector<double> weights(static_cast<std::size_t>(2 * radius + 1));
    double sum = 0.0;
    for (int t = -radius; t <= radius; ++t) {
        const double w = portableExp(-0.5 * (t * t) / (sigma * sigma));
        weights[static_cast<std::size_t>(t + radius)] = w;
        sum += w;
    }
    std::vector<float> kernel;
    for (const double w : weights) kernel.push_back(static_cast<float>(w / sum));
    return kernel;
}

// Where GCC or Clang build for x86-64 (not Windows, whose GCC cannot align
// the stack for the AVX registers it spills), the loops over whole volumes
// are built twice, the second time for AVX2, which is taken when the
// processor has it. Both run the same operations on every element (vectors
// only take several elements at once, with no fused multiply-add), so the
// results do not depend on which one ran.
#if defined(__GNUC__) && defined(__x86_64__) && !defined(_WIN32)
#define KORVANTH_AVX2_LOOPS 1
#endif
#if defined(__GNUC__)
#define KORVANTH_ALWAYS_INLINE inline __attribute__((always_inline))
using Floats8 = float __attribute__((vector_size(32)));
#else
#define KORVANTH_ALWAYS_INLINE inline
#endif

#if defined(KORVANTH_AVX2_LOOPS)
#include <immintrin.h>

bool processorHasAvx2() {
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
}
#endif

// How the loops over whole volumes and over the sample points run: with the
// AVX2 build or the portable one, and split in two, the lower part of each
// on the calling thread and the upper part on a worker kept for the
// estimator's life. Only loops whose every element is worked out alone, by
// the same operations whichever part takes it, are split (no sum runs
// across the split), so that neither choice changes a bit of the results.
//
// An estimate hands the worker a dozen or more parts a few hundred µs
// apart. Waking a thread asleep on a condition variable takes tens of µs,
// which at 64 × 64 × 34 cost about what the split saved; so each side
// first watches for the other for up to `spinTime` before it sleeps.
class VolumeLoops {
public:
    using Range = std::function<void(std::size_t from, std::size_t to)>;

    VolumeLoops(bool avx2, bool worker) : avx2_(avx2) {
        if (worker) worker_ = std::thread([this] { serve(); });
    }
    ~VolumeLoops() {
        if (!worker_.joinable()) return;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_one();
        worker_.join();
    }
    VolumeLoops(const VolumeLoops&) = delete;
    VolumeLoops& operator=(const VolumeLoops&) = delete;

    bool avx2() const { return avx2_; }

    // range(from, to) over the parts of [0, count).
    void run(std::size_t count, const Range& range) {
        if (!worker_.joinable() || count < 2) {
            range(0, count);
            return;
        }
        const std::size_t middle = count / 2;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            jobFrom_ = middle;
            jobTo_ = count;
            job_.store(&range);
        }
        wake_.notify_one();
        range(0, middle);
        spinWhile([this] { return job_.load() != nullptr; });
        std::unique_lock<std::mutex> lock(mutex_);
        finished_.wait(lock, [this] { return job_.load() == nullptr; });
    }

private:
    static constexpr std::chrono::microseconds spinTime{200};

    // Spins while `waiting()` holds, up to spinTime.
    template <class Condition>
    static void spinWhile(const Condition& waiting) {
        const auto until = std::chrono::steady_clock::now() + spinTime;
        for (unsigned spin = 1; waiting(); ++spin) {
            std::this_thread::yield();
            if (spin % 64 == 0 && std::chrono::steady_clock::now() > until) return;
        }
    }

    void serve() {
        for (;;) {
            spinWhile([this] { return job_.load() == nullptr && !stop_.load(); });
            const Range* job = nullptr;
            std::size_t from = 0, to = 0;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [this] { return stop_.load() || job_.load() != nullptr; });
                if (stop_.load()) return;
                job = job_.load();
                from = jobFrom_;
                to = jobTo_;
            }
            (*job)(from, to);
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                job_.store(nullptr);
            }
            finished_.notify_one();
        }
    }

    bool avx2_ = false;
    std::mutex mutex_;
    std::condition_variable wake_, finished_;
    std::atomic<const Range*> job_{nullptr};  // the worker's part while one is under way
    std::size_t jobFrom_ = 0, jobTo_ = 0;
    std::atomic<bool> stop_{false};
    std::thread worker_;
};

// out[x] = (sum over taps t = from..to, in that order, from 0, of weights[t]
// times the element t rows of `tapStride` on) * scale, for x < width.
KORVANTH_ALWAYS_INLINE void filterRow(const float* source, std::ptrdiff_t tapStride, int from, int to,
                                      const float* weights, float scale, float* out, std::size_t width) {
    std::size_t x = 0;
#if defined(__GNUC__)
    // Four vectors at a time take each weight once for all of them.
    for (; x + 32 <= width; x += 32) {
        Floats8 sum[4] = {};
        for (int t = from; t <= to; ++t) {
            const float weight = weights[t];
            for (int v = 0; v < 4; ++v) {
                Floats8 taken;
                std::memcpy(&taken, source + x + 8 * v + t * tapStride, sizeof taken);
                sum[v] = sum[v] + weight * taken;
            }
        }
        for (int v = 0; v < 4; ++v) {
            sum[v] = sum[v] * scale;
            std::memcpy(out + x + 8 * v, &sum[v], sizeof sum[v]);
        }
    }
    for (; x + 8 <= width; x += 8) {
        Floats8 sum = {};
        for (int t = from; t <= to; ++t) {
            Floats8 taken;
            std::memcpy(&taken, source + x + t * tapStride, sizeof taken);
            sum = sum + weights[t] * taken;
        }
        sum = sum * scale;
        std::memcpy(out + x, &sum, sizeof sum);
    }
#endif
    for (; x < width; ++x) {
        float sum = 0.0f;
        for (int t = from; t <= to; ++t)
            sum = sum + weights[t] * source[x + static_cast<std::ptrdiff_t>(t) * tapStride];
        out[x] = sum * scale;
    }
}

// One separable smoothing pass along `axis` of a kernel of `radius` taps on
// either side (weights[-radius..radius]). Near the edges the kernel is cut
// at the grid and renormalised (norm[i] at position i along the axis), so
// that the image does not darken there.
//
// The work comes in parts, [from, to) of smoothAxisParts: the lines along x,
// the slices along y, the positions within a slice along z.
std::size_t smoothAxisParts(const Grid& grid, int axis) {
    const std::size_t plane = static_cast<std::size_t>(grid.n[0]) * static_cast<std::size_t>(grid.n[1]);
    return axis == 0 ? grid.count() / static_cast<std::size_t>(grid.n[0])
                     : (axis == 1 ? static_cast<std::size_t>(grid.n[2]) : plane);
}

// Positions [first, last) of `lines` neighbouring lines along x (at most
// eight, `in` and `out` at the first), with eight lines at a time: the
// columns the taps reach are turned into a tile of a column per row (in
// `tile`), so that each position's lines are filtered as one vector.
KORVANTH_ALWAYS_INLINE void smoothLinePositions(const float* weights, int radius, const float* norm, int32_t length,
                                                int32_t first, int32_t last, std::size_t lines, std::size_t nx,
                                                const float* in, float* out, std::vector<float>& tile) {
    const int32_t c0 = std::max(0, first - radius), c1 = std::min(length, last + radius);
    tile.resize(static_cast<std::size_t>(c1 - c0) * 8);
    for (std::size_t l = 0; l < lines; ++l)
        for (int32_t c = c0; c < c1; ++c) tile[static_cast<std::size_t>(c - c0) * 8 + l] = in[l * nx + c];
    float filtered[8];
    for (int32_t i = first; i < last; ++i) {
        filterRow(tile.data() + static_cast<std::size_t>(i - c0) * 8, 8, std::max(-radius, -i),
                  std::min(radius, length - 1 - i), weights, norm[i], filtered, lines);
        for (std::size_t l = 0; l < lines; ++l) out[l * nx + i] = filtered[l];
    }
}

KORVANTH_ALWAYS_INLINE void smoothAxisLoops(const Grid& grid, const float* weights, int radius, const float* norm,
                                            int axis, const float* in, float* out, std::size_t from, std::size_t to) {
    const int32_t length = grid.n[axis];
    const std::size_t nx = static_cast<std::size_t>(grid.n[0]);
    if (axis == 0) {
        // Inside a line every position takes every tap (and the same norm);
        // the ends, where the kernel is cut, go eight lines at a time.
        const int32_t inner = std::max(0, length - 2 * radius);
        std::vector<float> tile;
        for (std::size_t line = from; line < to; line += 8) {
            const std::size_t lines = std::min<std::size_t>(8, to - line);
            const float* source = in + line * nx;
            float* target = out + line * nx;
            if (inner == 0) {
                smoothLinePositions(weights, radius, norm, length, 0, length, lines, nx, source, target, tile);
                continue;
            }
            for (std::size_t l = 0; l < lines; ++l)
                filterRow(source + l * nx + radius, 1, -radius, radius, weights, norm[radius], target + l * nx + radius,
                          static_cast<std::size_t>(inner));
            smoothLinePositions(weights, radius, norm, length, 0, radius, lines, nx, source, target, tile);
            smoothLinePositions(weights, radius, norm, length, length - radius, length, lines, nx, source, target,
                                tile);
        }
        return;
    }
    // Along y or z: whole rows of x at a time.
    const std::size_t stride = axis == 1 ? nx : nx * static_cast<std::size_t>(grid.n[1]);
    const std::size_t outer = axis == 1 ? to - from : 1;
    const std::size_t first = axis == 1 ? from * nx * static_cast<std::size_t>(grid.n[1]) : from;
    const std::size_t block = axis == 1 ? nx * static_cast<std::size_t>(grid.n[1]) : grid.count();
    const std::size_t width = axis == 1 ? nx : to - from;
    for (std::size_t o = 0; o < outer; ++o)
        for (int32_t i = 0; i < length; ++i) {
            const std::size_t row = first + o * block + static_cast<std::size_t>(i) * stride;
            filterRow(in + row, static_cast<std::ptrdiff_t>(stride), std::max(-radius, -i),
                      std::min(radius, length - 1 - i), weights, norm[i], out + row, width);
        }
}

void smoothAxisPortable(const Grid& grid, const float* weights, int radius, const float* norm, int axis,
                        const float* in, float* out, std::size_t from, std::size_t to) {
    smoothAxisLoops(grid, weights, radius, norm, axis, in, out, from, to);
}

#if defined(KORVANTH_AVX2_LOOPS)
__attribute__((target("avx2"))) void smoothAxisAvx2(const Grid& grid, const float* weights, int radius,
                                                    const float* norm, int axis, const float* in, float* out,
                                                    std::size_t from, std::size_t to) {
    smoothAxisLoops(grid, weights, radius, norm, axis, in, out, from, to);
}
#endif

void smoothAxis(VolumeLoops& loops, const Grid& grid, const std::vector<float>& kernel, int axis,
                const std::vector<float>& in, std::vector<float>& out) {
    const int radius = static_cast<int>(kernel.size() / 2);
    const int32_t length = grid.n[axis];
    if (radius == 0 || length == 1) {
        out = in;
        return;
    }
    std::vector<float> norm(static_cast<std::size_t>(length));
    for (int32_t i = 0; i < length; ++i) {
        double sum = 0.0;
        for (int t = -radius; t <= radius; ++t)
            if (i + t >= 0 && i + t < length) sum += kernel[static_cast<std::size_t>(t + radius)];
        norm[static_cast<std::size_t>(i)] = static_cast<float>(1.0 / sum);
    }
    out.resize(in.size());
    const float* weights = kernel.data() + radius;
    loops.run(smoothAxisParts(grid, axis), [&](std::size_t from, std::size_t to) {
#if defined(KORVANTH_AVX2_LOOPS)
        if (loops.avx2()) {
            smoothAxisAvx2(grid, weights, radius, norm.data(), axis, in.data(), out.data(), from, to);
            return;
        }
#endif
        smoothAxisPortable(grid, weights, radius, norm.data(), axis, in.data(), out.data(), from, to);
    });
}

// `out`: `in` smoothed by a Gaussian of `fwhmMm` given the voxel sizes (`in`
// and `out` may be the same image).
void smooth(VolumeLoops& loops, const Grid& grid, const double voxelMm[3], double fwhmMm, const std::vector<float>& in,
            std::vector<float>& out, std::vector<float>& scratch) {
    const std::vector<float>* from = &in;
    for (int axis = 0; axis < 3; ++axis) {
        constexpr double fwhmPerSigma = 2.3548200450309493;  // 2 sqrt(2 ln 2)
        const std::vector<float> kernel = gaussianKernel(fwhmMm / fwhmPerSigma / voxelMm[axis]);
        smoothAxis(loops, grid, kernel, axis, *from, scratch);
        out.swap(scratch);
        from = &out;
    }
}

// Trilinear interpolation at voxel coordinates u; false outside the grid. An
// axis of one voxel accepts coordinates within half a voxel of it.
KORVANTH_ALWAYS_INLINE bool interpolate(const Grid& grid, const float* image, const double u[3], double& value) {
    int32_t base[3];
    double fraction[3];
    for (int a = 0; a < 3; ++a) {
        if (grid.n[a] == 1) {
            if (!(std::fabs(u[a]) <= 0.5)) return false;
            base[a] = 0;
            fraction[a] = 0.0;
            continue;
        }
        if (!(u[a] >= 0.0 && u[a] <= grid.n[a] - 1)) return false;
        base[a] = std::min(static_cast<int32_t>(u[a]), grid.n[a] - 2);
        fraction[a] = u[a] - base[a];
    }
    const std::size_t step[3] = {grid.n[0] > 1 ? 1u : 0u, grid.n[1] > 1 ? static_cast<std::size_t>(grid.n[0]) : 0u,
                                 grid.n[2] > 1 ? static_cast<std::size_t>(grid.n[0]) * grid.n[1] : 0u};
    const float* p = image + grid.index(base[0], base[1], base[2]);
    const double fx = fraction[0], fy = fraction[1], fz = fraction[2];
    const double c00 = p[0] + fx * (p[step[0]] - p[0]);
    const double c10 = p[step[1]] + fx * (p[step[1] + step[0]] - p[step[1]]);
    const double c01 = p[step[2]] + fx * (p[step[2] + step[0]] - p[step[2]]);
    const double c11 = p[step[2] + step[1]] + fx * (p[step[2] + step[1] + step[0]] - p[step[2] + step[1]]);
    const double c0 = c00 + fy * (c10 - c00);
    const double c1 = c01 + fy * (c11 - c01);
    value = c0 + fz * (c1 - c0);
    return true;
}

// quotient[w] = dividend[w] / divisor for the four w, as one vector division
// where the compiler has vectors.
KORVANTH_ALWAYS_INLINE void divideFour(const double (&dividend)[4], double divisor, double (&quotient)[4]) {
#if defined(__GNUC__)
    using Doubles4 = double __attribute__((vector_size(32)));
    Doubles4 lanes;
    std::memcpy(&lanes, dividend, sizeof lanes);
    lanes = lanes / divisor;
    std::memcpy(quotient, &lanes, sizeof lanes);
#else
    for (int w = 0; w < 4; ++w) quotient[w] = dividend[w] / divisor;
#endif
}

// Cubic B-spline coefficients of `image` in place (mirror boundaries): the
// fine pass interpolates with the spline, whose error is far below the
// trilinear one's and does not pull the fit towards whole-voxel shifts.
//
// The recursion runs along each axis over `width` neighbouring lines at once
// (elements `stride` apart, the lines next to each other), so that along y
// and z whole rows of x are filtered together and the compiler vectorises.
// The gain is taken as each element is first read (the same product, one
// pass over the lines fewer); `first` holds `width` elements.
KORVANTH_ALWAYS_INLINE void splineRecursionLoops(float* data, int32_t length, std::size_t stride, std::size_t width,
                                                 float* first) {
    const float z = static_cast<float>(std::sqrt(3.0) - 2.0);
    const float gain = 6.0f;  // (1 - z)(1 - 1/z)
    const auto row = [&](int32_t k) { return data + static_cast<std::size_t>(k) * stride; };
    // Causal start for mirror boundaries: the sum of z^k c[k] while it matters.
    for (std::size_t x = 0; x < width; ++x) first[x] = gain * row(0)[x];
    float power = z;
    for (int32_t k = 1; k < length && std::fabs(power) > 1e-8f; ++k, power *= z)
        for (std::size_t x = 0; x < width; ++x) first[x] += power * (gain * row(k)[x]);
    std::copy(first, first + width, row(0));
    for (int32_t k = 1; k < length; ++k)
        for (std::size_t x = 0; x < width; ++x) row(k)[x] = gain * row(k)[x] + z * row(k - 1)[x];
    const float end = z / (z * z - 1.0f);
    for (std::size_t x = 0; x < width; ++x) row(length - 1)[x] = end * (row(length - 1)[x] + z * row(length - 2)[x]);
    for (int32_t k = length - 2; k >= 0; --k)
        for (std::size_t x = 0; x < width; ++x) row(k)[x] = z * (row(k + 1)[x] - row(k)[x]);
}

// Along x a line's elements are next to each other: a few lines at a time
// are turned into the columns of a block, so that the recursion runs over all
// of them together instead of waiting on each element.
constexpr std::size_t splineLinesAtOnce = 32;

// out[c · outStride + r] = in[r · inStride + c] for r < rows, c < columns.
KORVANTH_ALWAYS_INLINE void transposePortable(const float* in, std::size_t inStride, std::size_t rows,
                                              std::size_t columns, float* out, std::size_t outStride) {
    for (std::size_t r = 0; r < rows; ++r)
        for (std::size_t c = 0; c < columns; ++c) out[c * outStride + r] = in[r * inStride + c];
}

template <class Transpose>
KORVANTH_ALWAYS_INLINE void splineAlongXLoops(const Grid& grid, float* image, std::size_t fromBlock,
                                              std::size_t toBlock, const Transpose& transpose) {
    const std::size_t nx = static_cast<std::size_t>(grid.n[0]);
    const std::size_t lines = grid.count() / nx;
    std::vector<float> block(nx * splineLinesAtOnce), first(splineLinesAtOnce);
    for (std::size_t b = fromBlock; b < toBlock; ++b) {
        const std::size_t firstLine = b * splineLinesAtOnce;
        const std::size_t width = std::min(splineLinesAtOnce, lines - firstLine);
        float* const lineStart = image + firstLine * nx;
        transpose(lineStart, nx, width, nx, block.data(), width);
        splineRecursionLoops(block.data(), grid.n[0], width, width, first.data());
        transpose(block.data(), width, nx, width, lineStart, nx);
    }
}

void splineRecursionPortable(float* data, int32_t length, std::size_t stride, std::size_t width) {
    std::vector<float> first(width);
    splineRecursionLoops(data, length, stride, width, first.data());
}

void splineAlongXPortable(const Grid& grid, float* image, std::size_t fromBlock, std::size_t toBlock) {
    splineAlongXLoops(grid, image, fromBlock, toBlock, transposePortable);
}

#if defined(KORVANTH_AVX2_LOOPS)
// transposePortable, eight by eight elements at a time.
__attribute__((target("avx2"))) inline void transposeAvx2(const float* in, std::size_t inStride, std::size_t rows,
                                                          std::size_t columns, float* out, std::size_t outStride) {
    std::size_t r = 0;
    for (; r + 8 <= rows; r += 8) {
        std::size_t c = 0;
        for (; c + 8 <= columns; c += 8) {
            __m256 t[8], u[8];
            for (std::size_t i = 0; i < 8; ++i) t[i] = _mm256_loadu_ps(in + (r + i) * inStride + c);
            for (std::size_t i = 0; i < 8; i += 2) {
                u[i] = _mm256_unpacklo_ps(t[i], t[i + 1]);
                u[i + 1] = _mm256_unpackhi_ps(t[i], t[i + 1]);
            }
            for (std::size_t i = 0; i < 8; i += 4)
                for (std::size_t h = 0; h < 2; ++h) {
                    t[i + 2 * h] = _mm256_shuffle_ps(u[i + h], u[i + h + 2], _MM_SHUFFLE(1, 0, 1, 0));
                    t[i + 2 * h + 1] = _mm256_shuffle_ps(u[i + h], u[i + h + 2], _MM_SHUFFLE(3, 2, 3, 2));
                }
            for (std::size_t i = 0; i < 4; ++i) {
                _mm256_storeu_ps(out + (c + i) * outStride + r, _mm256_permute2f128_ps(t[i], t[i + 4], 0x20));
                _mm256_storeu_ps(out + (c + i + 4) * outStride + r, _mm256_permute2f128_ps(t[i], t[i + 4], 0x31));
            }
        }
        transposePortable(in + r * inStride + c, inStride, 8, columns - c, out + c * outStride + r, outStride);
    }
    transposePortable(in + r * inStride, inStride, rows - r, columns, out + r, outStride);
}

__attribute__((target("avx2"))) void splineRecursionAvx2(float* data, int32_t length, std::size_t stride,
                                                         std::size_t width) {
    std::vector<float> first(width);
    splineRecursionLoops(data, length, stride, width, first.data());
}

__attribute__((target("avx2"))) void splineAlongXAvx2(const Grid& grid, float* image, std::size_t fromBlock,
                                                      std::size_t toBlock) {
    splineAlongXLoops(grid, image, fromBlock, toBlock, transposeAvx2);
}
#endif

void splineRecursion(const VolumeLoops& loops, float* data, int32_t length, std::size_t stride, std::size_t width) {
#if defined(KORVANTH_AVX2_LOOPS)
    if (loops.avx2()) {
        splineRecursionAvx2(data, length, stride, width);
        return;
    }
#endif
    (void)loops;
    splineRecursionPortable(data, length, stride, width);
}

void cubicSplineCoefficients(VolumeLoops& loops, const Grid& grid, std::vector<float>& image) {
    const std::size_t nx = static_cast<std::size_t>(grid.n[0]), ny = static_cast<std::size_t>(grid.n[1]);
    float* const data = image.data();
    if (grid.n[0] > 1) {
        const std::size_t blocks = (grid.count() / nx + splineLinesAtOnce - 1) / splineLinesAtOnce;
        loops.run(blocks, [&](std::size_t from, std::size_t to) {
#if defined(KORVANTH_AVX2_LOOPS)
            if (loops.avx2()) {
                splineAlongXAvx2(grid, data, from, to);
                return;
            }
#endif
            splineAlongXPortable(grid, data, from, to);
        });
    }
    if (grid.n[1] > 1)
        loops.run(static_cast<std::size_t>(grid.n[2]), [&](std::size_t from, std::size_t to) {
            for (std::size_t k = from; k < to; ++k) splineRecursion(loops, data + k * nx * ny, grid.n[1], nx, nx);
        });
    if (grid.n[2] > 1)
        loops.run(nx * ny, [&](std::size_t from, std::size_t to) {
            splineRecursion(loops, data + from, grid.n[2], nx * ny, to - from);
        });
}

// The taps of the cubic B-spline at voxel coordinates u: per axis, four
// offsets into the coefficients (mirrored at the edges) and their weights;
// false outside the grid. An axis of one voxel accepts coordinates within half
// a voxel of it.
struct CubicTaps {
    std::size_t offset[3][4];
    double weight[3][4];
};

KORVANTH_ALWAYS_INLINE bool cubicTaps(const Grid& grid, const double u[3], CubicTaps& taps) {
    // Each weight is its numerator / 6, four divisions at a time. An axis of
    // one voxel takes its middle tap alone (6 / 6).
    double numerator[3][4];
    const std::size_t step[3] = {1u, static_cast<std::size_t>(grid.n[0]),
                                 static_cast<std::size_t>(grid.n[0]) * grid.n[1]};
    for (int a = 0; a < 3; ++a) {
        const int32_t n = grid.n[a];
        if (n == 1) {
            if (!(std::fabs(u[a]) <= 0.5)) return false;
            for (int t = 0; t < 4; ++t) {
                taps.offset[a][t] = 0;
                numerator[a][t] = t == 1 ? 6.0 : 0.0;
            }
            continue;
        }
        if (!(u[a] >= 0.0 && u[a] <= n - 1)) return false;
        const auto base = std::min(static_cast<int32_t>(u[a]), n - 2);
        const double t = u[a] - base, r = 1.0 - t;
        numerator[a][0] = r * r * r;
        numerator[a][1] = 3.0 * t * t * t - 6.0 * t * t + 4.0;
        numerator[a][2] = 3.0 * r * r * r - 6.0 * r * r + 4.0;
        numerator[a][3] = t * t * t;
        for (int k = 0; k < 4; ++k) {
            int32_t index = base - 1 + k;
            if (index < 0) index = -index;
            if (index > n - 1) index = 2 * (n - 1) - index;
            taps.offset[a][k] = static_cast<std::size_t>(index) * step[a];
        }
    }
    for (int a = 0; a < 3; ++a) divideFour(numerator[a], 6.0, taps.weight[a]);
    return true;
}

// The spline's value from its taps: along x within each row, the rows of a
// plane along y, the planes along z, every sum from the left. The one order
// of operations that every build of the loops keeps.
KORVANTH_ALWAYS_INLINE double cubicSum(const float* c, const CubicTaps& taps) {
    const std::size_t(&offset)[3][4] = taps.offset;
    const double(&weight)[3][4] = taps.weight;
    double sum = 0.0;
    for (int k = 0; k < 4; ++k) {
        double plane = 0.0;
        for (int j = 0; j < 4; ++j) {
            const float* row = c + offset[2][k] + offset[1][j];
            plane += weight[1][j] * (weight[0][0] * row[offset[0][0]] + weight[0][1] * row[offset[0][1]] +
                                     weight[0][2] * row[offset[0][2]] + weight[0][3] * row[offset[0][3]]);
        }
        sum += weight[2][k] * plane;
    }
    return sum;
}

// The cubic B-spline of coefficients `c` at voxel coordinates u; false
// outside the grid.
KORVANTH_ALWAYS_INLINE bool interpolateCubic(const Grid& grid, const float* c, const double u[3], double& value) {
    CubicTaps taps;
    if (!cubicTaps(grid, u, taps)) return false;
    value = cubicSum(c, taps);
    return true;
}

// The volume's value at each sample point of a pass (voxels: i, j, k of each)
// seen through q, the voxel-to-voxel matrix of the fit, and the slice of the
// volume it falls in; slice -1 for a point outside the volume.
KORVANTH_ALWAYS_INLINE void resampleLoops(const Grid& grid, const float* volume, bool cubic, const double (&q)[3][4],
                                          const int32_t* voxels, std::size_t points, double* values, int32_t* slices) {
    for (std::size_t p = 0; p < points; ++p) {
        const double i = voxels[3 * p], j = voxels[3 * p + 1], k = voxels[3 * p + 2];
        const double u[3] = {q[0][0] * i + q[0][1] * j + q[0][2] * k + q[0][3],
                             q[1][0] * i + q[1][1] * j + q[1][2] * k + q[1][3],
                             q[2][0] * i + q[2][1] * j + q[2][2] * k + q[2][3]};
        double value = 0.0;
        if (!(cubic ? interpolateCubic(grid, volume, u, value) : interpolate(grid, volume, u, value))) {
            slices[p] = -1;
            continue;
        }
        values[p] = value;
        slices[p] = std::min(grid.n[2] - 1, static_cast<int32_t>(u[2] + 0.5));
    }
}

void resamplePortable(const Grid& grid, const float* volume, bool cubic, const double (&q)[3][4], const int32_t* voxels,
                      std::size_t points, double* values, int32_t* slices) {
    resampleLoops(grid, volume, cubic, q, voxels, points, values, slices);
}

#if defined(KORVANTH_AVX2_LOOPS)
// With AVX2, a point's three axes go side by side in the lanes of a vector
// (the fourth lane idle at 0) for its position and its spline taps, and the
// spline's four planes of taps for its sum. Every lane runs the operations of
// resampleLoops and cubicTaps in their order, and the planes are summed in
// cubicSum's, so the bits are the portable loops'. Taps from the mirror
// at an x edge, an axis of one voxel and a grid too large for 32-bit offsets
// take the portable way.
struct SplineLanes {
    __m256d last;       // n - 1 per axis
    __m128i lastBase;   // n - 2: the last tap's base
    __m128i lastIndex;  // n - 1
    __m128i step;       // elements between neighbours along each axis
};

__attribute__((target("avx2"))) inline SplineLanes splineLanes(const Grid& grid) {
    const int32_t n0 = grid.n[0], n1 = grid.n[1], n2 = grid.n[2];
    return {_mm256_setr_pd(n0 - 1, n1 - 1, n2 - 1, 0.0), _mm_setr_epi32(n0 - 2, n1 - 2, n2 - 2, 0),
            _mm_setr_epi32(n0 - 1, n1 - 1, n2 - 1, 0), _mm_setr_epi32(1, n0, n0 * n1, 0)};
}

// x³ and 3x³ - 6x² + 4 as cubicTaps has them.
__attribute__((target("avx2"))) inline __m256d cubeLanes(__m256d x) { return _mm256_mul_pd(_mm256_mul_pd(x, x), x); }

__attribute__((target("avx2"))) inline __m256d middleTapLanes(__m256d x) {
    const __m256d cubed = _mm256_mul_pd(_mm256_mul_pd(_mm256_mul_pd(_mm256_set1_pd(3.0), x), x), x);
    return _mm256_add_pd(_mm256_sub_pd(cubed, _mm256_mul_pd(_mm256_mul_pd(_mm256_set1_pd(6.0), x), x)),
                         _mm256_set1_pd(4.0));
}

// The taps of cubicTaps at u, with each tap's three offsets in a row
// (offset[tap][axis]); false when the point is outside the grid.
__attribute__((target("avx2"))) inline bool cubicTapsAvx2(const SplineLanes& lanes, __m256d u, int32_t (&offset)[4][4],
                                                          double (&weight)[3][4]) {
    const __m256d zero = _mm256_setzero_pd();
    const __m256d inside = _mm256_and_pd(_mm256_cmp_pd(u, zero, _CMP_GE_OQ), _mm256_cmp_pd(u, lanes.last, _CMP_LE_OQ));
    if (_mm256_movemask_pd(inside) != 0xF) return false;
    const __m128i base = _mm_min_epi32(_mm256_cvttpd_epi32(u), lanes.lastBase);
    const __m256d t = _mm256_sub_pd(u, _mm256_cvtepi32_pd(base));
    const __m256d r = _mm256_sub_pd(_mm256_set1_pd(1.0), t);
    const __m256d six = _mm256_set1_pd(6.0);
    const __m256d w0 = cubeLanes(r), w1 = middleTapLanes(t), w2 = middleTapLanes(r), w3 = cubeLanes(t);
    // From a vector per tap to a row per axis, then each row's four
    // numerators divided at once (three divisions, not four).
    const __m256d low01 = _mm256_unpacklo_pd(w0, w1), high01 = _mm256_unpackhi_pd(w0, w1);
    const __m256d low23 = _mm256_unpacklo_pd(w2, w3), high23 = _mm256_unpackhi_pd(w2, w3);
    _mm256_storeu_pd(weight[0], _mm256_div_pd(_mm256_permute2f128_pd(low01, low23, 0x20), six));
    _mm256_storeu_pd(weight[1], _mm256_div_pd(_mm256_permute2f128_pd(high01, high23, 0x20), six));
    _mm256_storeu_pd(weight[2], _mm256_div_pd(_mm256_permute2f128_pd(low01, low23, 0x31), six));
    const __m128i mirror = _mm_add_epi32(lanes.lastIndex, lanes.lastIndex);
    for (int tap = 0; tap < 4; ++tap) {
        __m128i index = _mm_abs_epi32(_mm_add_epi32(base, _mm_set1_epi32(tap - 1)));
        index = _mm_min_epi32(index, _mm_sub_epi32(mirror, index));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(offset[tap]), _mm_mullo_epi32(index, lanes.step));
    }
    return true;
}

// cubicSum with the four planes side by side in the lanes of a vector, for
// taps whose four x offsets follow each other.
__attribute__((target("avx2"))) inline double cubicSumAvx2(const float* c, const int32_t (&offset)[4][4],
                                                           const double (&weight)[3][4]) {
    const __m256d x0 = _mm256_set1_pd(weight[0][0]), x1 = _mm256_set1_pd(weight[0][1]);
    const __m256d x2 = _mm256_set1_pd(weight[0][2]), x3 = _mm256_set1_pd(weight[0][3]);
    __m256d plane = _mm256_setzero_pd();
    for (int j = 0; j < 4; ++j) {
        const float* rows = c + offset[j][1] + offset[0][0];
        __m128 t0 = _mm_loadu_ps(rows + offset[0][2]), t1 = _mm_loadu_ps(rows + offset[1][2]);
        __m128 t2 = _mm_loadu_ps(rows + offset[2][2]), t3 = _mm_loadu_ps(rows + offset[3][2]);
        _MM_TRANSPOSE4_PS(t0, t1, t2, t3);  // now t_m holds x tap m of the four planes
        __m256d row = _mm256_mul_pd(x0, _mm256_cvtps_pd(t0));
        row = _mm256_add_pd(row, _mm256_mul_pd(x1, _mm256_cvtps_pd(t1)));
        row = _mm256_add_pd(row, _mm256_mul_pd(x2, _mm256_cvtps_pd(t2)));
        row = _mm256_add_pd(row, _mm256_mul_pd(x3, _mm256_cvtps_pd(t3)));
        plane = _mm256_add_pd(plane, _mm256_mul_pd(_mm256_set1_pd(weight[1][j]), row));
    }
    double weighed[4];
    _mm256_storeu_pd(weighed, _mm256_mul_pd(_mm256_loadu_pd(weight[2]), plane));
    double sum = 0.0;
    for (const double w : weighed) sum += w;
    return sum;
}

__attribute__((target("avx2"))) void resampleAvx2(const Grid& grid, const float* volume, bool cubic,
                                                  const double (&q)[3][4], const int32_t* voxels, std::size_t points,
                                                  double* values, int32_t* slices) {
    const bool lanesFit = grid.n[0] > 1 && grid.n[1] > 1 && grid.n[2] > 1 &&
                          grid.count() <= static_cast<std::size_t>(std::numeric_limits<int32_t>::max());
    if (!cubic || !lanesFit) {
        resampleLoops(grid, volume, cubic, q, voxels, points, values, slices);
        return;
    }
    const SplineLanes lanes = splineLanes(grid);
    const __m256d qi = _mm256_setr_pd(q[0][0], q[1][0], q[2][0], 0.0);
    const __m256d qj = _mm256_setr_pd(q[0][1], q[1][1], q[2][1], 0.0);
    const __m256d qk = _mm256_setr_pd(q[0][2], q[1][2], q[2][2], 0.0);
    const __m256d q1 = _mm256_setr_pd(q[0][3], q[1][3], q[2][3], 0.0);
    for (std::size_t p = 0; p < points; ++p) {
        const int32_t* voxel = voxels + 3 * p;
        __m256d u = _mm256_mul_pd(qi, _mm256_set1_pd(voxel[0]));
        u = _mm256_add_pd(u, _mm256_mul_pd(qj, _mm256_set1_pd(voxel[1])));
        u = _mm256_add_pd(u, _mm256_mul_pd(qk, _mm256_set1_pd(voxel[2])));
        u = _mm256_add_pd(u, q1);
        int32_t offset[4][4];
        double weight[3][4];
        if (!cubicTapsAvx2(lanes, u, offset, weight)) {
            slices[p] = -1;
            continue;
        }
        double at[4];
        _mm256_storeu_pd(at, u);
        if (offset[3][0] == offset[0][0] + 3)
            values[p] = cubicSumAvx2(volume, offset, weight);
        else
            interpolateCubic(grid, volume, at, values[p]);
        slices[p] = std::min(grid.n[2] - 1, static_cast<int32_t>(at[2] + 0.5));
    }
}
#endif

void resample(VolumeLoops& loops, const Grid& grid, const float* volume, bool cubic, const double (&q)[3][4],
              const int32_t* voxels, std::size_t points, double* values, int32_t* slices) {
    loops.run(points, [&](std::size_t from, std::size_t to) {
#if defined(KORVANTH_AVX2_LOOPS)
        if (loops.avx2()) {
            resampleAvx2(grid, volume, cubic, q, voxels + 3 * from, to - from, values + from, slices + from);
            return;
        }
#endif
        resamplePortable(grid, volume, cubic, q, voxels + 3 * from, to - from, values + from, slices + from);
    });
}

// One pass of the fit: the reference smoothed at its width, sampled at its
// spacing inside the head, with each point's row of the Jacobian.
struct Pass {
    double fwhmMm = 0.0;
    int iterations = 0;
    double toleranceMm = 0.0;
    bool cubic = false;            // cubic B-spline instead of trilinear resampling
    bool sliceWeights = false;     // slices far off the fit weigh less
    std::vector<int32_t> voxels;   // i, j, k of each sample point
    std::vector<float> reference;  // smoothed reference at each point
    std::vector<Vector7> jacobian;
    Matrix7 hessian = Matrix7::Zero();  // sum of J Jᵀ over all points
    double referenceMean = 0.0;         // of `reference`
};

// A fit under way: the volume's transform A and its intensity scale against
// the reference, and how the pass with slice weights weighed the slices at
// the end.
struct Fit {
    Matrix4 transform = Matrix4::Identity();
    double gain = 1.0;
    int iterations = 0;
    double lastStepMm = 0.0;
    double correlation = 0.0;
    int32_t leastKeptSlice = -1;
    double leastKeptSliceWeight = 1.0;
};

enum class PassEnd { Done, NoOverlap, Lost };

// Slice weights. The intensity faults that fool a fit of intensities come a
// slice at a time, as the slices are acquired one after another: a signal
// dropout from spin history, a spike. Such a slice shifts the intensity of a
// whole region one way, so that its points all pull the fit in the same
// direction. A slice of the volume (the points that fall in it) is weighed
// by the share of its points whose residual is far off (beyond `farSd`
// robust standard deviations, from the median absolute residual): a slice
// with a share up to `fullWeightShare` counts fully, one with
// `noWeightShare` or more not at all, with Tukey's biweight in between.
//
// Not robust weights per point (Tukey's or Huber's on each residual): a real
// head's residuals are heavy-tailed all over (eyes, neck, the edge slices
// hold a few % of points beyond six standard deviations), and setting those
// points aside moved the estimates of the shared resting run away from SPM's
// (framewise displacement r 0.996 to 0.984). Counted per slice, the real run
// has at most 14 % of a slice's points that far off, a dropout slice 40–75 %
// (a tenth to all of its signal lost), so that a clean volume's fit stays
// the least-squares one.
constexpr double farSd = 6.0;
constexpr double fullWeightShare = 0.2;
constexpr double noWeightShare = 0.5;
// The median absolute value of Gaussian noise times this is its standard deviation.
constexpr double sdPerMedianAbsolute = 1.482602218505602;
// The scale never falls below this fraction of the reference's mean, so that
// a volume nearly equal to the reference does not have its last rounding
// errors taken for faults.
constexpr double smallestScaleFraction = 1e-3;

double sliceWeightOf(double farShare) {
    if (farShare <= fullWeightShare) return 1.0;
    if (farShare >= noWeightShare) return 0.0;
    const double x = (farShare - fullWeightShare) / (noWeightShare - fullWeightShare);
    const double y = 1.0 - x * x;
    return y * y;
}

// The middle value (the upper one of an even count), reordering `values`.
double medianOf(std::vector<double>& values) {
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// The centre of the head in a heavily smoothed image: the mean position of
// its voxels above `threshold`, world mm. False when there are none.
bool headCentre(const Grid& grid, const Matrix4& voxelToWorld, const std::vector<float>& coarse, float threshold,
                Eigen::Vector3d& centre) {
    Eigen::Vector3d sum = Eigen::Vector3d::Zero();
    std::size_t count = 0;
    for (int32_t k = 0; k < grid.n[2]; ++k)
        for (int32_t j = 0; j < grid.n[1]; ++j)
            for (int32_t i = 0; i < grid.n[0]; ++i) {
                if (!(coarse[grid.index(i, j, k)] > threshold)) continue;
                sum += (voxelToWorld * Eigen::Vector4d(i, j, k, 1.0)).head<3>();
                ++count;
            }
    if (count == 0) return false;
    centre = sum / static_cast<double>(count);
    return true;
}

}  // namespace

void rigidMatrix(const RigidParameters& p, double m[3][4]) {
    const double ca = std::cos(p[3]), sa = std::sin(p[3]);
    const double cb = std::cos(p[4]), sb = std::sin(p[4]);
    const double cc = std::cos(p[5]), sc = std::sin(p[5]);
    // R1(pitch) · R2(roll) · R3(yaw), multiplied out.
    const double r[3][3] = {{cb * cc, cb * sc, sb},
                            {-ca * sc - sa * sb * cc, ca * cc - sa * sb * sc, sa * cb},
                            {sa * sc - ca * sb * cc, -sa * cc - ca * sb * sc, ca * cb}};
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 3; ++column) m[row][column] = r[row][column];
        m[row][3] = p[static_cast<std::size_t>(row)];
    }
}

RigidParameters rigidParameters(const double m[3][4]) {
    RigidParameters p{};
    p[0] = m[0][3];
    p[1] = m[1][3];
    p[2] = m[2][3];
    p[4] = std::asin(std::clamp(m[0][2], -1.0, 1.0));
    p[3] = std::atan2(m[1][2], m[2][2]);
    p[5] = std::atan2(m[0][1], m[0][0]);
    return p;
}

const char* statusText(RigidRegistration::Status status) {
    switch (status) {
        case RigidRegistration::Status::Converged:
            return "converged";
        case RigidRegistration::Status::Blank:
            return "the volume is blank";
        case RigidRegistration::Status::NoOverlap:
            return "the volume hardly overlaps the reference";
        case RigidRegistration::Status::Diverged:
            return "the fit diverged";
        case RigidRegistration::Status::NoReference:
            return "the reference volume shows no head to register to";
    }
    return "";
}

bool RigidRegistration::Result::heavilyDownweighted(const RigidRegistrationSettings& settings) const {
    return status == Status::Converged && leastKeptSlice >= 0 && leastKeptSliceWeight < settings.minimumSliceWeight;
}

struct RigidRegistration::Impl {
    RigidRegistrationSettings settings;
    Grid grid{};
    double voxelMm[3] = {1.0, 1.0, 1.0};
    Matrix4 voxelToWorld = Matrix4::Identity();
    Matrix4 worldToVoxel = Matrix4::Identity();
    Eigen::Vector3d centre = Eigen::Vector3d::Zero();  // of the head, world mm: where steps turn
    float headThreshold = 0.0f;                        // on the coarsely smoothed reference
    std::unique_ptr<VolumeLoops> loops;
    Pass coarse, fine;
    double referenceMean = 0.0;  // of the raw reference over the fine points
    bool usable = false;         // the reference has a head to register to
    // Work images of the volume in hand, and the work of one iteration, kept
    // from call to call so that a run does not allocate (and fault in)
    // several volumes' worth of memory each time.
    std::vector<float> fineWork, coarseWork, scratch;
    std::vector<double> residuals, magnitudes;  // per point; NaN: outside the volume
    std::vector<int32_t> pointSlices;           // the volume's slice each point fell in
    std::vector<double> sliceWeight;            // per slice of the volume
    std::vector<std::size_t> slicePoints, sliceFarPoints;

    void buildPass(Pass& pass, const std::vector<float>& smoothed, const std::vector<uint8_t>& head, double spacingMm,
                   bool checkerboard) const;
    // Both passes from `start` over the volume's work images.
    Result attempt(const Matrix4& start);
    // Runs one pass from the fit so far, updating it.
    PassEnd run(const Pass& pass, const std::vector<float>& volume, Fit& fit);
    // Each point's residual through the fit; the points inside and their correlation.
    std::size_t sample(const Pass& pass, const std::vector<float>& volume, const Fit& fit, double& correlation);
    // Weighs the slices by the residuals; false when every slice counts fully.
    bool weighSlices(const Pass& pass, std::size_t inside);
    // The normal equations of one step, with the slice weights or without.
    void normalEquations(const Pass& pass, bool weighed, Matrix7& system, Vector7& gradient) const;
    void findLeastKeptSlice(Fit& fit) const;
    void applyStep(const Vector7& step, Fit& fit) const;
    // The volume's head centre moved onto the reference's.
    bool centreAlignment(double brightness, Matrix4& start) const;
};

void RigidRegistration::Impl::buildPass(Pass& pass, const std::vector<float>& smoothed,
                                        const std::vector<uint8_t>& head, double spacingMm, bool checkerboard) const {
    int32_t stride[3];
    for (int a = 0; a < 3; ++a)
        stride[a] = std::max<int32_t>(1, static_cast<int32_t>(std::lround(spacingMm / voxelMm[a])));
    const Eigen::Matrix3d gradientToWorld = voxelToWorld.topLeftCorner<3, 3>().inverse().transpose();
    double sum = 0.0;
    for (int32_t k = 0; k < grid.n[2]; k += stride[2])
        for (int32_t j = 0; j < grid.n[1]; j += stride[1])
            for (int32_t i = 0; i < grid.n[0]; i += stride[0]) {
                const std::size_t v = grid.index(i, j, k);
                if (head[v] == 0) continue;
                if (checkerboard && ((i / stride[0] + j / stride[1] + k / stride[2]) & 1) != 0) continue;
                // Central differences, one-sided at the edge, none along an axis of one voxel.
                const int32_t at[3] = {i, j, k};
                Eigen::Vector3d gradient;
                for (int a = 0; a < 3; ++a) {
                    if (grid.n[a] == 1) {
                        gradient[a] = 0.0;
                        continue;
                    }
                    int32_t lo[3] = {i, j, k}, hi[3] = {i, j, k};
                    lo[a] = std::max(0, at[a] - 1);
                    hi[a] = std::min(grid.n[a] - 1, at[a] + 1);
                    gradient[a] = (static_cast<double>(smoothed[grid.index(hi[0], hi[1], hi[2])]) -
                                   smoothed[grid.index(lo[0], lo[1], lo[2])]) /
                                  (hi[a] - lo[a]);
                }
                const Eigen::Vector3d g = gradientToWorld * gradient;
                const Eigen::Vector3d d = (voxelToWorld * Eigen::Vector4d(i, j, k, 1.0)).head<3>() - centre;
                Vector7 row;
                row << g[0], g[1], g[2], g.dot(Eigen::Vector3d::UnitX().cross(d)),
                    g.dot(Eigen::Vector3d::UnitY().cross(d)), g.dot(Eigen::Vector3d::UnitZ().cross(d)),
                    static_cast<double>(smoothed[v]);
                pass.voxels.insert(pass.voxels.end(), {i, j, k});
                pass.reference.push_back(smoothed[v]);
                pass.jacobian.push_back(row);
                pass.hessian.noalias() += row * row.transpose();
                sum += smoothed[v];
            }
    if (!pass.reference.empty()) pass.referenceMean = sum / static_cast<double>(pass.reference.size());
}

std::size_t RigidRegistration::Impl::sample(const Pass& pass, const std::vector<float>& volume, const Fit& fit,
                                            double& correlation) {
    const std::size_t points = pass.reference.size();
    residuals.resize(points);
    pointSlices.resize(points);
    // The volume's voxel that shows what the reference shows at each of its voxels.
    const Matrix4 transform = worldToVoxel * fit.transform.inverse() * voxelToWorld;
    double q[3][4];
    for (int row = 0; row < 3; ++row)
        for (int column = 0; column < 4; ++column) q[row][column] = transform(row, column);
    resample(*loops, grid, volume.data(), pass.cubic, q, pass.voxels.data(), points, residuals.data(),
             pointSlices.data());
    std::size_t inside = 0;
    double sumV = 0.0, sumR = 0.0, sumVV = 0.0, sumRR = 0.0, sumVR = 0.0;
    for (std::size_t p = 0; p < points; ++p) {
        if (pointSlices[p] < 0) {
            residuals[p] = std::numeric_limits<double>::quiet_NaN();
            continue;
        }
        const double value = residuals[p];
        const double r = pass.reference[p];
        residuals[p] = value - fit.gain * r;
        ++inside;
        sumV += value;
        sumR += r;
        sumVV += value * value;
        sumRR += r * r;
        sumVR += value * r;
    }
    const double n = static_cast<double>(inside);
    const double covariance = sumVR - sumV * sumR / n;
    const double variance = (sumVV - sumV * sumV / n) * (sumRR - sumR * sumR / n);
    correlation = variance > 0.0 ? covariance / std::sqrt(variance) : 0.0;
    return inside;
}

bool RigidRegistration::Impl::weighSlices(const Pass& pass, std::size_t inside) {
    // The faults pull the fitted gain, which leaves a residual in proportion
    // to the intensity at every point (a slice at 30 % of its signal in 34
    // made the residuals' spread several times the noise's): the residuals
    // are judged with the gain that the median point asks for instead. Both
    // medians are of every fourth point, which tells them as well at a
    // quarter of the cost.
    const std::size_t stride = inside >= 1024 ? 4 : 1;
    magnitudes.clear();
    for (std::size_t p = 0; p < residuals.size(); p += stride)
        if (!std::isnan(residuals[p]) && pass.reference[p] > 0.5 * pass.referenceMean)
            magnitudes.push_back(residuals[p] / pass.reference[p]);
    const double gainOff = magnitudes.empty() ? 0.0 : medianOf(magnitudes);
    magnitudes.clear();
    for (std::size_t p = 0; p < residuals.size(); p += stride)
        if (!std::isnan(residuals[p])) magnitudes.push_back(std::fabs(residuals[p] - gainOff * pass.reference[p]));
    const double sd = magnitudes.empty() ? 0.0 : sdPerMedianAbsolute * medianOf(magnitudes);
    const double far = farSd * std::max(sd, smallestScaleFraction * pass.referenceMean);

    const auto slices = static_cast<std::size_t>(grid.n[2]);
    slicePoints.assign(slices, 0);
    sliceFarPoints.assign(slices, 0);
    for (std::size_t p = 0; p < residuals.size(); ++p) {
        if (std::isnan(residuals[p])) continue;
        const auto slice = static_cast<std::size_t>(pointSlices[p]);
        ++slicePoints[slice];
        if (std::fabs(residuals[p] - gainOff * pass.reference[p]) > far) ++sliceFarPoints[slice];
    }
    // A slice the head barely reaches (less than a quarter of a slice's
    // share of the points) is too small to judge and counts fully; so does
    // every slice of a volume of fewer than three slices to judge, which has
    // none to set aside against, and the first and last slice of the grid:
    // there the smoothing is cut at the edge and the spline mirrors, so that
    // a head moving through the slab leaves residuals of its own (the
    // phantom's run at 15 times its motion had them set aside in 5 of 30
    // volumes).
    const std::size_t reached = static_cast<std::size_t>(
        std::count_if(slicePoints.begin(), slicePoints.end(), [](std::size_t n) { return n > 0; }));
    const std::size_t enough = std::max<std::size_t>(1, inside / (4 * std::max<std::size_t>(1, reached)));
    sliceWeight.assign(slices, 1.0);
    if (std::count_if(slicePoints.begin(), slicePoints.end(), [&](std::size_t n) { return n >= enough; }) < 3)
        return false;
    bool weighed = false;
    for (std::size_t s = 0; s < slices; ++s) {
        if (slicePoints[s] < enough || s == 0 || s + 1 == slices) continue;
        sliceWeight[s] = sliceWeightOf(static_cast<double>(sliceFarPoints[s]) / static_cast<double>(slicePoints[s]));
        weighed = weighed || sliceWeight[s] < 1.0;
    }
    return weighed;
}

void RigidRegistration::Impl::normalEquations(const Pass& pass, bool weighed, Matrix7& system,
                                              Vector7& gradient) const {
    // The sum over every point is known; what the points outside and the
    // weights take away is taken off it.
    gradient.setZero();
    Matrix7 takenOff = Matrix7::Zero();
    for (std::size_t p = 0; p < residuals.size(); ++p) {
        const Vector7& row = pass.jacobian[p];
        if (std::isnan(residuals[p])) {
            takenOff.noalias() += row * row.transpose();
            continue;
        }
        const double weight = weighed ? sliceWeight[static_cast<std::size_t>(pointSlices[p])] : 1.0;
        if (weight < 1.0) takenOff.noalias() += (1.0 - weight) * (row * row.transpose());
        if (weight > 0.0) gradient.noalias() += row * (weight * residuals[p]);
    }
    system = pass.hessian - takenOff;
}

// The slice weighed least, if any slice was weighed down: of slices set
// aside alike (a dropout's neighbours take part of its loss through the
// smoothing), the one with the most points far off.
void RigidRegistration::Impl::findLeastKeptSlice(Fit& fit) const {
    double worstShare = 0.0;
    fit.leastKeptSlice = -1;
    fit.leastKeptSliceWeight = 1.0;
    for (std::size_t s = 0; s < sliceWeight.size(); ++s) {
        if (!(sliceWeight[s] < 1.0)) continue;
        const double share = static_cast<double>(sliceFarPoints[s]) / static_cast<double>(slicePoints[s]);
        if (sliceWeight[s] < fit.leastKeptSliceWeight ||
            (sliceWeight[s] == fit.leastKeptSliceWeight && share > worstShare)) {
            fit.leastKeptSlice = static_cast<int32_t>(s);
            fit.leastKeptSliceWeight = sliceWeight[s];
            worstShare = share;
        }
    }
}

// The step moves the reference by B; the volume's transform becomes B·A.
// The intensity column of the Jacobian is the reference's, so the motion
// part of the step comes out multiplied by the gain. B's turn is the unit
// quaternion (1, r/2) normalised: to first order the rotation r, as the
// Jacobian has it, and made without trigonometry.
void RigidRegistration::Impl::applyStep(const Vector7& step, Fit& fit) const {
    const Eigen::Vector3d shift = step.head<3>() / fit.gain, rotation = step.segment<3>(3) / fit.gain;
    const Eigen::Matrix3d turn = Eigen::Quaterniond(1.0, 0.5 * rotation[0], 0.5 * rotation[1], 0.5 * rotation[2])
                                     .normalized()
                                     .toRotationMatrix();
    Matrix4 b = Matrix4::Identity();
    b.topLeftCorner<3, 3>() = turn;
    b.topRightCorner<3, 1>() = centre + shift - turn * centre;
    fit.transform = b * fit.transform;
    fit.gain += step[6];
    ++fit.iterations;
    fit.lastStepMm = shift.norm() + sphereRadiusMm * rotation.norm();
}

PassEnd RigidRegistration::Impl::run(const Pass& pass, const std::vector<float>& volume, Fit& fit) {
    const std::size_t points = pass.reference.size();
    std::size_t inside = 0;
    for (int iteration = 0; iteration < pass.iterations; ++iteration) {
        inside = sample(pass, volume, fit, fit.correlation);
        if (static_cast<double>(inside) < settings.minimumOverlap * static_cast<double>(points) || inside < 16)
            return PassEnd::NoOverlap;
        Matrix7 system;
        Vector7 gradient;
        normalEquations(pass, pass.sliceWeights && weighSlices(pass, inside), system, gradient);
        // Directions the points cannot tell (e.g. across a single slice) get a
        // step of zero from the small ridge instead of an undefined one.
        const double ridge = 1e-12 * system.diagonal().maxCoeff() + 1e-30;
        system.diagonal().array() += ridge;
        const Vector7 step = system.ldlt().solve(gradient);
        if (!step.allFinite()) return PassEnd::Lost;
        applyStep(step, fit);
        if (!(fit.gain > 0.0)) return PassEnd::Lost;
        if (fit.lastStepMm < pass.toleranceMm) break;
    }
    if (pass.sliceWeights && inside > 0) findLeastKeptSlice(fit);
    return PassEnd::Done;
}

RigidRegistration::Result RigidRegistration::Impl::attempt(const Matrix4& start) {
    Fit fit;
    fit.transform = start;
    PassEnd end = run(coarse, coarseWork, fit);
    // A coarse fit that does not resemble the reference even at that
    // smoothing is lost: the fine pass would spend all its steps on it, and
    // each start tried again would pay for them.
    if (end == PassEnd::Done && fit.correlation < settings.minimumCorrelation) end = PassEnd::Lost;
    if (end == PassEnd::Done) end = run(fine, fineWork, fit);
    Result result;
    result.iterations = fit.iterations;
    result.correlation = fit.correlation;
    if (end != PassEnd::Done) {
        result.status = end == PassEnd::NoOverlap ? Status::NoOverlap : Status::Diverged;
        return result;
    }
    result.transform = rigidOf(fit.transform);
    result.parameters = rigidParameters(result.transform.m);
    bool sane = fit.lastStepMm < 100.0 * settings.toleranceMm && fit.correlation >= settings.minimumCorrelation;
    for (std::size_t i = 0; i < 6; ++i) {
        const double limit = i < 3 ? settings.maximumShiftMm : settings.maximumRotationRadians;
        sane = sane && std::isfinite(result.parameters[i]) && std::fabs(result.parameters[i]) <= limit;
    }
    result.status = sane ? Status::Converged : Status::Diverged;
    result.leastKeptSlice = fit.leastKeptSlice;
    result.leastKeptSliceWeight = fit.leastKeptSliceWeight;
    return result;
}

bool RigidRegistration::Impl::centreAlignment(double brightness, Matrix4& start) const {
    Eigen::Vector3d volumeCentre;
    if (!headCentre(grid, voxelToWorld, coarseWork, static_cast<float>(headThreshold * brightness), volumeCentre))
        return false;
    start = Matrix4::Identity();
    start.topRightCorner<3, 1>() = centre - volumeCentre;
    return true;
}

RigidRegistration::RigidRegistration(const int16_t* reference, const int32_t dims[3], const double voxelToWorld[3][4],
                                     const RigidRegistrationSettings& settings)
    : impl_(std::make_unique<Impl>()) {
    Impl& s = *impl_;
    s.settings = settings;
    bool avx2 = false;
#if defined(KORVANTH_AVX2_LOOPS)
    avx2 = settings.avx2Loops && processorHasAvx2();
#endif
    s.loops = std::make_unique<VolumeLoops>(avx2, settings.threads > 1 && std::thread::hardware_concurrency() > 1);
    for (int a = 0; a < 3; ++a) s.grid.n[a] = std::max<int32_t>(1, dims[a]);
    s.voxelToWorld = homogeneous(voxelToWorld);
    for (int a = 0; a < 3; ++a) s.voxelMm[a] = std::max(1e-3, s.voxelToWorld.col(a).head<3>().norm());
    if (std::fabs(s.voxelToWorld.topLeftCorner<3, 3>().determinant()) < 1e-12) {
        // No usable geometry: fall back to voxel sizes of 1 mm on the axes.
        s.voxelToWorld = Matrix4::Identity();
        for (double& size : s.voxelMm) size = 1.0;
    }
    s.worldToVoxel = s.voxelToWorld.inverse();
    s.coarse.fwhmMm = settings.coarseFwhmMm;
    s.coarse.iterations = settings.coarseIterations;
    s.coarse.toleranceMm = settings.coarseToleranceMm;
    s.fine.toleranceMm = settings.toleranceMm;
    s.fine.fwhmMm = settings.fineFwhmMm;
    s.fine.iterations = settings.fineIterations;
    s.fine.cubic = settings.cubicFinePass;
    s.fine.sliceWeights = settings.sliceWeights;

    const std::size_t count = s.grid.count();
    std::vector<float> fine(reference, reference + count), scratch;
    smooth(*s.loops, s.grid, s.voxelMm, settings.fineFwhmMm, fine, fine, scratch);
    std::vector<float> coarse;
    const double extra = std::sqrt(
        std::max(0.0, settings.coarseFwhmMm * settings.coarseFwhmMm - settings.fineFwhmMm * settings.fineFwhmMm));
    smooth(*s.loops, s.grid, s.voxelMm, extra, fine, coarse, scratch);

    // The head: where the heavily smoothed reference reaches a tenth of its
    // bright end, which takes in a rim of background along the head's edge
    // (the edge carries most of what tells a move).
    std::vector<float> sorted = coarse;
    const std::size_t high = count - 1 - count / 100;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(high), sorted.end());
    s.headThreshold = 0.1f * sorted[high];
    if (!(s.headThreshold > 0.0f)) return;
    if (!headCentre(s.grid, s.voxelToWorld, coarse, s.headThreshold, s.centre)) return;
    std::vector<uint8_t> head(count);
    for (std::size_t v = 0; v < count; ++v) head[v] = coarse[v] > s.headThreshold ? 1 : 0;
    s.buildPass(s.coarse, coarse, head, settings.coarseSpacingMm, false);
    s.buildPass(s.fine, fine, head, settings.fineSpacingMm, settings.fineCheckerboard);
    double rawSum = 0.0;
    for (std::size_t p = 0; p < s.fine.reference.size(); ++p)
        rawSum += reference[s.grid.index(s.fine.voxels[3 * p], s.fine.voxels[3 * p + 1], s.fine.voxels[3 * p + 2])];
    s.referenceMean = s.fine.reference.empty() ? 0.0 : rawSum / static_cast<double>(s.fine.reference.size());
    s.usable = s.fine.reference.size() >= 64 && s.referenceMean > 0.0;
}

RigidRegistration::~RigidRegistration() = default;

std::array<std::size_t, 2> RigidRegistration::samplePoints() const {
    return {impl_->coarse.reference.size(), impl_->fine.reference.size()};
}

RigidRegistration::Result RigidRegistration::estimate(const int16_t* volume, const RigidTransform& start) {
    Impl& s = *impl_;
    Result given;
    given.transform = start;
    given.parameters = rigidParameters(start.m);
    if (!s.usable) {
        given.status = Status::NoReference;
        return given;
    }
    double rawSum = 0.0;
    for (std::size_t p = 0; p < s.fine.reference.size(); ++p)
        rawSum += volume[s.grid.index(s.fine.voxels[3 * p], s.fine.voxels[3 * p + 1], s.fine.voxels[3 * p + 2])];
    const double brightness = rawSum / static_cast<double>(s.fine.reference.size()) / s.referenceMean;
    if (!(brightness > s.settings.blankFraction)) {
        given.status = Status::Blank;
        return given;
    }

    const std::size_t count = s.grid.count();
    s.fineWork.resize(count);
    float* const work = s.fineWork.data();
    s.loops->run(count, [&](std::size_t from, std::size_t to) { std::copy(volume + from, volume + to, work + from); });
    smooth(*s.loops, s.grid, s.voxelMm, s.fine.fwhmMm, s.fineWork, s.fineWork, s.scratch);
    const double extra = std::sqrt(std::max(0.0, s.coarse.fwhmMm * s.coarse.fwhmMm - s.fine.fwhmMm * s.fine.fwhmMm));
    smooth(*s.loops, s.grid, s.voxelMm, extra, s.fineWork, s.coarseWork, s.scratch);
    if (s.fine.cubic) cubicSplineCoefficients(*s.loops, s.grid, s.fineWork);

    const Matrix4 fromStart = homogeneous(start.m);
    Result result = s.attempt(fromStart);
    if (result.status == Status::Converged) return result;
    // A lost fit (the head jumped beyond the reach of the previous estimate,
    // or that estimate was itself far off) is tried again from the reference's
    // place and from the head's centre, so that a run finds the head again as
    // soon as either start can reach it.
    int iterations = result.iterations;
    Matrix4 retries[2] = {Matrix4::Identity(), Matrix4::Identity()};
    const bool centred = s.centreAlignment(brightness, retries[1]);
    for (int r = 0; r < (centred ? 2 : 1); ++r) {
        if (retries[r] == fromStart) continue;
        Result retried = s.attempt(retries[r]);
        iterations += retried.iterations;
        if (retried.status != Status::Converged) continue;
        retried.start = r == 0 ? Start::Identity : Start::HeadCentre;
        retried.iterations = iterations;
        return retried;
    }
    given.status = result.status;
    given.iterations = iterations;
    given.correlation = result.correlation;
    return given;
}

}  // namespace korvanth
