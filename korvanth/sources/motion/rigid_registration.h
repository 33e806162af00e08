// The host's own rigid-body motion estimate of each volume against a
// reference volume, fast enough to run between two volumes of a live scan.
//
// Parameters follow the SPM convention, so that users can hold them against
// the files they know: P = (x, y, z, pitch, roll, yaw), translations in mm,
// rotations in radians, A(P) = T(x, y, z) · R1(pitch) · R2(roll) · R3(yaw)
// acting on world coordinates (mm, the image's sform or qform), with
//   R1 = [[1,0,0],[0,cos a, sin a],[0,-sin a, cos a]]
//   R2 = [[cos b,0,sin b],[0,1,0],[-sin b,0,cos b]]
//   R3 = [[cos c, sin c,0],[-sin c, cos c,0],[0,0,1]].
// A volume with parameters P shows at world point p what the reference shows
// at A(P)·p.
//
// The fit is Gauss–Newton on intensity differences with the reference's
// spatial gradients worked out once (inverse compositional: each step is a
// small rigid move of the reference, composed onto the estimate), coarse to
// fine: a heavily smoothed, sparsely sampled pass to catch large jerks, by
// least squares, then a finer one for precision, which weighs each slice of
// the volume by how well its points fit, so that a slice's signal dropout or
// a spike cannot pull it. A fit that is lost from the given start is tried
// again from the identity and from the head's centre. Both images are
// smoothed alike; the coarse pass resamples trilinearly, the fine one with a
// cubic B-spline, whose error stays well below the noise (trilinear
// resampling there biased translations by a few hundredths of a mm towards
// whole-voxel positions).
// Only points in and around the head (from the reference) take part, and a
// global intensity scale is fitted along so that signal drift is not taken
// for motion. Every sum runs in one fixed order on one thread (a worker
// takes only points and voxels that are worked out alone), so the same input
// gives the same bits on every run and thread count. The fit itself uses
// nothing but IEEE arithmetic and square roots (no exp, sin or cos of the
// platform's maths library, whose last bits differ between C libraries), and
// the run hands the previous fit on as a matrix, so Linux and Windows builds
// follow the same iterations; only turning the final matrix into angles uses
// the library.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace korvanth {

// x, y, z (mm), pitch, roll, yaw (radians).
using RigidParameters = std::array<double, 6>;

// A(P) as the rows of [R | t].
void rigidMatrix(const RigidParameters& parameters, double matrix[3][4]);

// The parameters of a rigid matrix [R | t] (R a rotation), pitch and yaw in
// (-pi, pi], roll in [-pi/2, pi/2]: the inverse of rigidMatrix.
RigidParameters rigidParameters(const double matrix[3][4]);

// A rigid transform as the rows of [R | t]; the identity unless set.
struct RigidTransform {
    double m[3][4] = {{1.0, 0.0, 0.0, 0.0}, {0.0, 1.0, 0.0, 0.0}, {0.0, 0.0, 1.0, 0.0}};
};

struct RigidRegistrationSettings {
    double coarseFwhmMm = 8.0;     // smoothing of the pass that catches large moves
    double coarseSpacingMm = 6.0;  // sample spacing of that pass (at least one voxel)
    // The precise pass. 6 mm balances the two errors measured on a real
    // volume moved by a known trace: interpolation bias with less smoothing,
    // lost detail with more.
    double fineFwhmMm = 6.0;
    double fineSpacingMm = 3.0;
    bool cubicFinePass = true;  // false: trilinear resampling there too
    // Every other point of the fine spacing, in a checkerboard: neighbours of
    // an image smoothed this much tell nearly the same, at twice the cost.
    bool fineCheckerboard = true;
    int coarseIterations = 12;
    int fineIterations = 16;
    // A step that moves no point of a 50 mm sphere further than this ends a
    // pass; the coarse pass only has to bring the fine one within its reach.
    double coarseToleranceMm = 0.02;
    double toleranceMm = 1e-3;
    // A volume whose mean intensity in the head is below this fraction of the
    // reference's is taken as blank.
    double blankFraction = 0.1;
    // Fewer of the head's sample points than this fraction inside the volume:
    // too little overlap to trust.
    double minimumOverlap = 0.5;
    // A fit whose resampled volume correlates less with the reference than
    // this, or that moves further than the limits below, has diverged.
    double minimumCorrelation = 0.7;
    double maximumShiftMm = 40.0;
    double maximumRotationRadians = 0.6;
    // The fine pass weighs each slice of the volume (along its third axis)
    // by how many of its points are far off the fit (false: least squares,
    // as the coarse pass), so that a slice whose intensity went astray (a
    // signal dropout, a spike) is set aside instead of pulling the fit.
    bool sliceWeights = true;
    // A fit that weighed a slice down below this is flagged: its estimate
    // rests on the other slices.
    double minimumSliceWeight = 0.5;
    // How the loops over whole volumes and sample points run; neither
    // changes a bit of the estimates. 2: half of each loop on a worker thread
    // of the estimator's own (where the machine has a second core); 1: all
    // on the calling thread.
    int threads = 2;
    bool avx2Loops = true;  // false: the portable build of the loops even where the processor has AVX2
};

class RigidRegistration {
public:
    enum class Status { Converged, Blank, NoOverlap, Diverged, NoReference };
    // Where the fit that converged started: the given start, or, when the fit
    // from there was lost, the identity or the volume's head centre moved onto
    // the reference's.
    enum class Start { Given, Identity, HeadCentre };
    struct Result {
        RigidTransform transform;      // the fit, A; meaningful only when Converged
        RigidParameters parameters{};  // the same as parameters
        Status status = Status::Converged;
        Start start = Start::Given;
        int iterations = 0;        // Gauss–Newton steps over both passes and every start tried
        double correlation = 0.0;  // of the resampled volume with the reference, over the head
        // Of the fine pass's slice weights at the end (1: the slice counted
        // fully, 0: set aside), the slice of the volume (from 0, along its
        // third axis) weighed least, and its weight; -1 when every slice
        // counted fully.
        int32_t leastKeptSlice = -1;
        double leastKeptSliceWeight = 1.0;

        // Converged, but only by setting a slice mostly aside.
        bool heavilyDownweighted(const RigidRegistrationSettings& settings) const;
    };

    // `reference`: dims[0]·dims[1]·dims[2] intensities, x fastest.
    // `voxelToWorld`: rows of the voxel-to-world matrix (mm).
    RigidRegistration(const int16_t* reference, const int32_t dims[3], const double voxelToWorld[3][4],
                      const RigidRegistrationSettings& settings = {});
    ~RigidRegistration();
    RigidRegistration(const RigidRegistration&) = delete;
    RigidRegistration& operator=(const RigidRegistration&) = delete;

    // The parameters of `volume` (same grid as the reference), starting the
    // search from `start` (the previous volume's fit in a run). Not for two
    // threads at once: the estimator keeps its work images.
    Result estimate(const int16_t* volume, const RigidTransform& start = {});

    // Sample points of the coarse and fine passes (for reports and benchmarks).
    std::array<std::size_t, 2> samplePoints() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

const char* statusText(RigidRegistration::Status status);

}  // namespace korvanth
