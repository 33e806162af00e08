// Whole replays through the built Korvanth and the real plug-in, run as child
// processes: the synthetic phantom, its round trip as real input, the two
// recorded runs, and bad inputs. Also the conversion of stored intensities.
#include <gtest/gtest.h>

#include "korvanth/sources/nifti_series.h"
#include "korvanth/sources/synthetic_run.h"
#include "korvanth_runner.h"
#include "shared_data.h"

#include <nifti2_io.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <set>
#include <string>

#if !defined(_WIN32)
#include <sys/wait.h>

namespace {

namespace fs = std::filesystem;
using korvanth::MotionEstimate;
using namespace korvanth_test;

const std::string dataDir = TARVEX_SHARED_DATA_DIR;
const std::string haxbyBold = dataDir + "/haxby_run1_1slice_bold.nii.gz";
const std::string haxbyPar = dataDir + "/haxby_run1_moest_mcflirt.par";
const std::string restBold = dataDir + "/rest120_64x64x34_bold.nii.gz";
const std::string restRp = dataDir + "/rest120_rp_spm12.txt";

struct ImageDeleter {
    void operator()(nifti_image* image) const { nifti_image_free(image); }
};
using Image = std::unique_ptr<nifti_image, ImageDeleter>;

Image readImage(const fs::path& path, bool withData) {
    return Image(nifti_image_read(path.string().c_str(), withData ? 1 : 0));
}

double median(std::vector<double> values) {
    if (values.empty()) return std::nan("");
    auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// Voxel indexing over a volume of dims, x fastest.
struct Grid {
    int32_t nx, ny, nz;
    std::size_t index(int x, int y, int z) const { return (static_cast<std::size_t>(z) * ny + y) * nx + x; }
    std::size_t count() const { return static_cast<std::size_t>(nx) * ny * nz; }
    bool inside(int x, int y, int z) const { return x >= 0 && y >= 0 && z >= 0 && x < nx && y < ny && z < nz; }
};

// ---------------------------------------------------------------------------
// The synthetic run, replayed once for all the tests that look at it.
class SyntheticReplay : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        out = new fs::path(freshFolder("synthetic") / "out");
        outcome = new Outcome(runKorvanth("--out " + quoted(out->string())));
    }
    static void TearDownTestSuite() {
        fs::remove_all(out->parent_path());
        delete out;
        delete outcome;
    }
    void SetUp() override { ASSERT_EQ(outcome->exitCode, 0) << outcome->output; }

    static fs::path* out;
    static Outcome* outcome;
    const korvanth::SyntheticOptions options{};  // what Korvanth runs with no synthetic option
    const Grid grid{options.dimX, options.dimY, options.dimZ};
};
fs::path* SyntheticReplay::out = nullptr;
Outcome* SyntheticReplay::outcome = nullptr;

// Every result, of maps a working plug-in leaves.
TEST_F(SyntheticReplay, WritesEveryResultAndNothingElse) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(*out)) names.insert(entry.path().filename().string());
    for (const char* expected : {"synthetic_3DMC.log", "host.log", "maps.f32", "maps.nii.gz", "maps.json",
                                 "bold.nii.gz", "bold_motion.txt", "timing.csv"})
        EXPECT_EQ(names.count(expected), 1u) << expected;
    for (const std::string& name : names) EXPECT_EQ(name.find("staging"), std::string::npos) << name;
    EXPECT_EQ(fs::file_size(*out / "maps.f32"), 8u * grid.count() * sizeof(float));
    // One timing row per volume, after the header.
    const std::string timing = readBytes(*out / "timing.csv");
    EXPECT_EQ(std::count(timing.begin(), timing.end(), '\n'), options.volumes + 1);
    const std::string json = readBytes(*out / "maps.json");
    EXPECT_NE(json.find("{\"index\": 0, \"name\": \"Translation X\"}"), std::string::npos) << json;
    EXPECT_NE(json.find("{\"index\": 7, \"name\": \"tSNR\"}"), std::string::npos) << json;
    EXPECT_NE(outcome->output.find("Plugin completed processing."), std::string::npos) << outcome->output;
    korvanth::NiftiSeries bold;
    std::string error;
    ASSERT_TRUE(korvanth::readNiftiSeries((*out / "bold.nii.gz").string(), bold, error)) << error;
    EXPECT_TRUE(plausibleMaps(readMaps(*out / "maps.f32"), bold.volumes));
}

// A QC plug-in earns its keep by showing motion where it changes the signal:
// at intensity edges along the direction the head moved most.
TEST_F(SyntheticReplay, MostMovedAxisTMapIsLargerOnEdgesThanInside) {
    const std::vector<MotionEstimate> motion = korvanth::syntheticMotion(options);
    int axis = 0;
    double widest = 0.0;
    for (int a = 0; a < 3; ++a) {
        const auto [low, high] =
            std::minmax_element(motion.begin(), motion.end(),
                                [a](const MotionEstimate& p, const MotionEstimate& q) { return p[a] < q[a]; });
        if ((*high)[a] - (*low)[a] > widest) {
            widest = (*high)[a] - (*low)[a];
            axis = a;
        }
    }
    const std::vector<float> still = korvanth::makePhantom(options);
    const std::vector<float> maps = readMaps(*out / "maps.f32");
    ASSERT_EQ(maps.size(), 8 * grid.count());
    std::vector<double> edge, interior;
    for (int z = 1; z < grid.nz - 1; ++z)
        for (int y = 1; y < grid.ny - 1; ++y)
            for (int x = 1; x < grid.nx - 1; ++x) {
                const std::size_t v = grid.index(x, y, z);
                if (still[v] <= 200.0f) continue;  // well inside the plug-in's mask
                const int step[3] = {axis == 0, axis == 1, axis == 2};
                const double slope = 0.5 * (still[grid.index(x + step[0], y + step[1], z + step[2])] -
                                            still[grid.index(x - step[0], y - step[1], z - step[2])]);
                bool flat = true;
                for (int dz = -2; dz <= 2 && flat; ++dz)
                    for (int dy = -2; dy <= 2 && flat; ++dy)
                        for (int dx = -2; dx <= 2 && flat; ++dx)
                            flat = !grid.inside(x + dx, y + dy, z + dz) ||
                                   still[grid.index(x + dx, y + dy, z + dz)] == still[v];
                const double t = std::fabs(maps[v + static_cast<std::size_t>(axis) * grid.count()]);
                if (std::fabs(slope) > 100.0)
                    edge.push_back(t);
                else if (flat)
                    interior.push_back(t);
            }
    ASSERT_GT(edge.size(), 500u);
    ASSERT_GT(interior.size(), 200u);  // enough uniform white matter for a median
    const double ratio = median(edge) / median(interior);
    std::printf("translation axis %d: median |t| edge %.3f, interior %.3f, ratio %.2f (%zu / %zu voxels)\n", axis,
                median(edge), median(interior), ratio, edge.size(), interior.size());
    EXPECT_GT(ratio, 5.0);
}

// tSNR of a uniform white-matter region: mean over standard deviation of the
// signal as generated (tissue intensity, linear drift, Gaussian noise and
// rounding), against the plug-in's map 7 (tSNR / 30).
// The phantom's motion: rotations in degrees, right-handed about the centre,
// the shift applied after the rotation. Each case gives a point of the moved
// head and the point of the still head it shows.
TEST(PhantomMotion, RotationsAreRightHandedDegreesAboutTheCentreThenShifted) {
    struct Case {
        MotionEstimate motion;
        double shown[3];
        double still[3];
    };
    const double c30 = 10.0 * std::sqrt(3.0) / 2.0, s30 = 5.0;
    const Case cases[] = {
        {{0, 0, 0, 0, 0, 90}, {0, 10, 0}, {10, 0, 0}},     // about z: +x turns to +y
        {{0, 0, 0, 90, 0, 0}, {0, 0, 10}, {0, 10, 0}},     // about x: +y turns to +z
        {{0, 0, 0, 0, 90, 0}, {10, 0, 0}, {0, 0, 10}},     // about y: +z turns to +x
        {{0, 0, 0, 0, 0, 30}, {c30, s30, 0}, {10, 0, 0}},  // degrees, not radians
        {{1, 2, 3, 0, 0, 90}, {1, 12, 3}, {10, 0, 0}},     // turned, then shifted
    };
    for (const Case& c : cases) {
        double still[3];
        korvanth::PhantomMotion(c.motion).stillPointAt(c.shown, still);
        for (int axis = 0; axis < 3; ++axis)
            EXPECT_NEAR(still[axis], c.still[axis], 1e-9)
                << "axis " << axis << " of motion " << c.motion[3] << ' ' << c.motion[4] << ' ' << c.motion[5];
    }
}

TEST_F(SyntheticReplay, TsnrOfUniformRegionMatchesGeneratedSignal) {
    const std::vector<float> still = korvanth::makePhantom(options);
    const std::vector<float> maps = readMaps(*out / "maps.f32");
    ASSERT_EQ(maps.size(), 8 * grid.count());
    const Image bold = readImage(*out / "bold.nii.gz", true);
    ASSERT_TRUE(bold && bold->datatype == NIFTI_TYPE_INT16 && bold->nt == options.volumes);
    const auto* series = static_cast<const int16_t*>(bold->data);
    std::vector<double> tsnr;
    double worstRelative = 0.0;
    for (int z = 2; z < grid.nz - 2; ++z)
        for (int y = 2; y < grid.ny - 2; ++y)
            for (int x = 2; x < grid.nx - 2; ++x) {
                bool uniform = true;
                for (int dz = -2; dz <= 2 && uniform; ++dz)
                    for (int dy = -2; dy <= 2 && uniform; ++dy)
                        for (int dx = -2; dx <= 2 && uniform; ++dx)
                            uniform = still[grid.index(x + dx, y + dy, z + dz)] == korvanth::phantom::whiteMatter;
                if (!uniform) continue;
                const std::size_t v = grid.index(x, y, z);
                tsnr.push_back(30.0 * maps[v + 7 * grid.count()]);
                // The same voxel's mean / population sd in the generated series.
                double sum = 0.0, squares = 0.0;
                for (int64_t t = 0; t < bold->nt; ++t) sum += series[v + static_cast<std::size_t>(t) * grid.count()];
                const double mean = sum / static_cast<double>(bold->nt);
                for (int64_t t = 0; t < bold->nt; ++t) {
                    const double d = series[v + static_cast<std::size_t>(t) * grid.count()] - mean;
                    squares += d * d;
                }
                worstRelative = std::max(
                    worstRelative,
                    std::fabs(tsnr.back() / (mean / std::sqrt(squares / static_cast<double>(bold->nt))) - 1.0));
            }
    ASSERT_GT(tsnr.size(), 200u);
    const double n = options.volumes, d = options.driftPercent / 100.0, level = korvanth::phantom::whiteMatter;
    const double driftVariance = level * level * d * d * (n + 1.0) / (12.0 * (n - 1.0));  // of level*d*t/(n-1)
    const double expected =
        level * (1.0 + d / 2.0) / std::sqrt(options.noiseSd * options.noiseSd + driftVariance + 1.0 / 12.0);
    const double measured = median(tsnr);
    std::printf("tSNR of uniform white matter: %.2f measured (median of %zu voxels), %.2f expected\n", measured,
                tsnr.size(), expected);
    std::printf("largest relative difference from mean/sd of the generated series: %.2e\n", worstRelative);
    EXPECT_NEAR(measured / expected, 1.0, 0.03);
    // The plug-in's running deviation starts its sum differently from the
    // population formula, which moves single voxels by a few percent.
    EXPECT_LT(worstRelative, 0.05);
}

// The synthetic run's own series and motion file, replayed as real input,
// give the same maps bit for bit.
TEST_F(SyntheticReplay, ReplayingItsOwnSeriesGivesTheSameMaps) {
    const fs::path again = out->parent_path() / "again";
    const Outcome o = runKorvanth("--bold " + quoted((*out / "bold.nii.gz").string()) + " --motion " +
                                  quoted((*out / "bold_motion.txt").string()) + " --motion-format plain --out " +
                                  quoted(again.string()));
    ASSERT_EQ(o.exitCode, 0) << o.output;
    const std::string first = readBytes(*out / "maps.f32"), second = readBytes(again / "maps.f32");
    EXPECT_EQ(first.size(), 8u * grid.count() * sizeof(float));
    EXPECT_TRUE(first == second) << "the maps differ";
    // The motion log lines are the same too (its header names the project).
    const auto lines = [](const std::string& log) { return log.substr(log.find("\nVolume 2:")); };
    EXPECT_EQ(lines(readBytes(*out / "synthetic_3DMC.log")), lines(readBytes(again / "bold_3DMC.log")));
}

// ---------------------------------------------------------------------------
// The recorded runs.
void expectSameGeometry(const nifti_image& input, const nifti_image& maps) {
    EXPECT_EQ(maps.nx, input.nx);
    EXPECT_EQ(maps.ny, input.ny);
    EXPECT_EQ(maps.nz, input.nz);
    EXPECT_EQ(maps.nt, 8);
    EXPECT_EQ(maps.datatype, NIFTI_TYPE_FLOAT32);
    EXPECT_NEAR(maps.dx, input.dx, 1e-5);
    EXPECT_NEAR(maps.dy, input.dy, 1e-5);
    EXPECT_NEAR(maps.dz, input.dz, 1e-5);
    EXPECT_EQ(maps.qform_code, input.qform_code);
    EXPECT_EQ(maps.sform_code, input.sform_code);
    for (int row = 0; row < 3; ++row)
        for (int column = 0; column < 4; ++column) {
            if (input.qform_code > 0) {
                EXPECT_NEAR(maps.qto_xyz.m[row][column], input.qto_xyz.m[row][column], 1e-4) << row << column;
            }
            if (input.sform_code > 0) {
                EXPECT_NEAR(maps.sto_xyz.m[row][column], input.sto_xyz.m[row][column], 1e-4) << row << column;
            }
        }
}

// Plausible maps, with the input's geometry, and the motion file's lines in the log.
TEST(RecordedRuns, OneSliceRunWithFslMotionReplaysWithItsGeometry) {
    REQUIRE_SHARED_FILES(haxbyBold, haxbyPar);
    const fs::path out = freshFolder("haxby") / "out";
    const Outcome o =
        runKorvanth("--bold " + quoted(haxbyBold) + " --motion " + quoted(haxbyPar) + " --out " + quoted(out.string()));
    ASSERT_EQ(o.exitCode, 0) << o.output;
    const Image input = readImage(haxbyBold, false);
    const Image maps = readImage(out / "maps.nii.gz", true);
    ASSERT_TRUE(input && maps);
    expectSameGeometry(*input, *maps);
    // maps.nii.gz holds what maps.f32 holds.
    const std::string raw = readBytes(out / "maps.f32");
    ASSERT_EQ(raw.size(), static_cast<std::size_t>(maps->nvox) * sizeof(float));
    EXPECT_EQ(std::memcmp(raw.data(), maps->data, raw.size()), 0);
    korvanth::NiftiSeries series;
    std::string error;
    ASSERT_TRUE(korvanth::readNiftiSeries(haxbyBold, series, error)) << error;
    EXPECT_TRUE(plausibleMaps(readMaps(out / "maps.f32"), series.volumes));
    // The fourth line of the .par, in mm and degrees, is the log's line of volume 4.
    const std::string log = readBytes(out / "haxby_run1_1slice_bold_3DMC.log");
    EXPECT_NE(log.find("Volume 4: dx:0.108136 dy:-0.04158 dz:-0.01145 rx:-0.24806 ry:0.058441 rz:-0.18989"),
              std::string::npos)
        << log.substr(0, 400);
    fs::remove_all(out.parent_path());
}

// Brain: volume 0 above 300 (the background reaches past the plug-in's mask
// threshold of 100 here). Edges: the fifth of brain voxels with the steepest
// intensity gradient relative to their intensity; inside: the flattest fifth.
// Returns the median mean |t| of the six motion maps at the edges over that
// inside; `meanT` gets each brain voxel's mean |t|.
double edgeToInsideRatio(const nifti_image& input, const nifti_image& maps, std::vector<double>& meanT) {
    const Grid grid{static_cast<int32_t>(input.nx), static_cast<int32_t>(input.ny), static_cast<int32_t>(input.nz)};
    const auto* first = static_cast<const int16_t*>(input.data);
    const auto* values = static_cast<const float*>(maps.data);
    std::vector<std::pair<double, double>> gradientAndT;
    for (int z = 1; z < grid.nz - 1; ++z)
        for (int y = 1; y < grid.ny - 1; ++y)
            for (int x = 1; x < grid.nx - 1; ++x) {
                const std::size_t v = grid.index(x, y, z);
                if (first[v] <= 300) continue;
                const double gx = 0.5 * (first[grid.index(x + 1, y, z)] - first[grid.index(x - 1, y, z)]);
                const double gy = 0.5 * (first[grid.index(x, y + 1, z)] - first[grid.index(x, y - 1, z)]);
                const double gz = 0.5 * (first[grid.index(x, y, z + 1)] - first[grid.index(x, y, z - 1)]);
                double sum = 0.0;  // mean |t| of the six motion maps
                for (int m = 0; m < 6; ++m) sum += std::fabs(values[v + m * grid.count()]);
                gradientAndT.emplace_back(std::sqrt(gx * gx + gy * gy + gz * gz) / first[v], sum / 6.0);
                meanT.push_back(sum / 6.0);
            }
    EXPECT_GT(gradientAndT.size(), 10000u);
    std::sort(gradientAndT.begin(), gradientAndT.end());
    const std::size_t fifth = gradientAndT.size() / 5;
    std::vector<double> edge, inside;
    for (std::size_t i = 0; i < fifth; ++i) {
        inside.push_back(gradientAndT[i].second);
        edge.push_back(gradientAndT[gradientAndT.size() - 1 - i].second);
    }
    const double ratio = median(edge) / median(inside);
    std::printf("rest120: median mean|t| of the motion maps at edges %.3f, inside %.3f, ratio %.2f (%zu each)\n",
                median(edge), median(inside), ratio, fifth);
    return ratio;
}

// With SPM's estimates and with Korvanth's own (no motion file), the motion
// maps show motion at the brain's edges, and alike.
TEST(RecordedRuns, RestingRunShowsMotionAtTheBrainEdge) {
    REQUIRE_SHARED_FILES(restBold, restRp);
    const fs::path out = freshFolder("rest") / "out", own = out.parent_path() / "own";
    const Outcome o = runKorvanth("--bold " + quoted(restBold) + " --motion " + quoted(restRp) +
                                  " --motion-format spm --out " + quoted(out.string()));
    ASSERT_EQ(o.exitCode, 0) << o.output;
    const Outcome estimated = runKorvanth("--bold " + quoted(restBold) + " --out " + quoted(own.string()));
    ASSERT_EQ(estimated.exitCode, 0) << estimated.output;
    const Image input = readImage(restBold, true);
    const Image maps = readImage(out / "maps.nii.gz", true);
    const Image ownMaps = readImage(own / "maps.nii.gz", true);
    ASSERT_TRUE(input && maps && ownMaps);
    expectSameGeometry(*input, *maps);
    ASSERT_EQ(input->datatype, NIFTI_TYPE_INT16);

    std::vector<double> spmT, ownT;
    EXPECT_GT(edgeToInsideRatio(*input, *maps, spmT), 1.4);
    EXPECT_GT(edgeToInsideRatio(*input, *ownMaps, ownT), 1.4);
    double mean[2] = {0.0, 0.0}, products = 0.0, squares[2] = {0.0, 0.0};
    for (std::size_t v = 0; v < spmT.size(); ++v) {
        mean[0] += spmT[v] / static_cast<double>(spmT.size());
        mean[1] += ownT[v] / static_cast<double>(spmT.size());
    }
    for (std::size_t v = 0; v < spmT.size(); ++v) {
        products += (spmT[v] - mean[0]) * (ownT[v] - mean[1]);
        squares[0] += (spmT[v] - mean[0]) * (spmT[v] - mean[0]);
        squares[1] += (ownT[v] - mean[1]) * (ownT[v] - mean[1]);
    }
    const double r = products / std::sqrt(squares[0] * squares[1]);
    std::printf("rest120: mean |t| with own estimates against SPM-driven, Pearson r %.3f\n", r);
    EXPECT_GT(r, 0.8);

    // The estimates in SPM's layout, the reference's row zeros; their timing
    // in timing.csv, none flagged.
    std::ifstream rp(own / "rp_rest120_64x64x34_bold.txt");
    std::vector<std::string> rows;
    for (std::string line; std::getline(rp, line);) rows.push_back(line);
    ASSERT_EQ(rows.size(), 120u);
    double x[6];
    ASSERT_EQ(std::sscanf(rows[0].c_str(), "%lf %lf %lf %lf %lf %lf", &x[0], &x[1], &x[2], &x[3], &x[4], &x[5]), 6);
    EXPECT_EQ(std::count(std::begin(x), std::end(x), 0.0), 6) << rows[0];
    std::ifstream timing(own / "timing.csv");
    std::string header, line;
    std::getline(timing, header);
    EXPECT_EQ(header,
              "volume,step_seconds,longer_than_tr,latency_seconds,detection_seconds,reading_seconds,"
              "motion_seconds,outputs_seconds,motion_unreliable,read_ahead,scan_seconds,host_seconds,lag_seconds,late");
    int volumes = 0;
    while (std::getline(timing, line)) {
        ++volumes;
        double step = 0.0, motionSeconds = 0.0;
        int number = 0, late = 0, flagged = 1;
        double outputs = 0.0;  // no file latency in a replay: those three fields are empty
        ASSERT_EQ(std::sscanf(line.c_str(), "%d,%lf,%d,,,,%lf,%lf,%d", &number, &step, &late, &motionSeconds, &outputs,
                              &flagged),
                  6)
            << line;
        EXPECT_GT(motionSeconds, 0.0) << line;
        EXPECT_EQ(flagged, 0) << line;
    }
    EXPECT_EQ(volumes, 120);
    fs::remove_all(out.parent_path());
}

// ---------------------------------------------------------------------------
// Bad input: a message naming the file and the problem, a non-zero exit, and
// an out folder left as it was.
class BadInput : public RefusalTest {
protected:
    void expectRefused(const std::string& arguments, const std::string& file, const std::string& problem) {
        RefusalTest::expectRefused(arguments, "error: " + file, problem);
    }

    // A small gzipped 4D series of its own: 16x16x8 voxels, 12 volumes.
    std::string writeSmallSeries() const {
        const int64_t dims[8] = {4, 16, 16, 8, 12, 1, 1, 1};
        Image image(nifti_make_new_nim(dims, NIFTI_TYPE_INT16, 1));
        auto* values = static_cast<int16_t*>(image->data);
        for (int64_t i = 0; i < image->nvox; ++i) values[i] = static_cast<int16_t>(200 + (i * 7919) % 301);
        const std::string path = (folder / "small_bold.nii.gz").string();
        nifti_set_filenames(image.get(), path.c_str(), 0, 1);
        nifti_image_write(image.get());
        return path;
    }
};

TEST_F(BadInput, ThreeDimensionalSeries) {
    const int64_t dims[8] = {3, 4, 5, 6, 1, 1, 1, 1};
    Image image(nifti_make_new_nim(dims, NIFTI_TYPE_INT16, 1));
    const std::string path = (folder / "single.nii").string();
    nifti_set_filenames(image.get(), path.c_str(), 0, 1);
    nifti_image_write(image.get());
    expectRefused("--bold " + quoted(path), path, "(3D); a run needs a 4D series");
}

TEST_F(BadInput, EmptyFile) {
    const std::string path = (folder / "empty.nii.gz").string();
    std::ofstream{path};
    expectRefused("--bold " + quoted(path), path, "the file is empty");
}

TEST_F(BadInput, TruncatedGzippedSeries) {
    const std::string whole = readBytes(writeSmallSeries());
    const std::string path = (folder / "cut.nii.gz").string();
    std::ofstream(path, std::ios::binary) << whole.substr(0, whole.size() / 2);
    expectRefused("--bold " + quoted(path), path, "truncated");
}

TEST_F(BadInput, NotAnImage) {
    const std::string path = (folder / "notes.nii").string();
    std::ofstream(path) << "not an image\n";
    expectRefused("--bold " + quoted(path), path, "not a readable NIfTI");
}

TEST_F(BadInput, MotionRowsDoNotMatchTheVolumes) {
    const std::string bold = writeSmallSeries();
    const std::string path = (folder / "short.par").string();
    {
        std::ofstream par(path, std::ios::binary);
        for (int row = 0; row < 11; ++row) par << "0.001 -0.002 0.0005 0.1 -0.05 0.02\n";  // 11 rows for 12 volumes
    }
    expectRefused("--bold " + quoted(bold) + " --motion " + quoted(path), path,
                  "has 11 motion rows, but the run has 12 volumes");
}

TEST_F(BadInput, MotionColumnsDoNotMatch) {
    const std::string path = (folder / "rp_five.txt").string();
    std::ofstream(path) << "0 0 0 0 0 0\n0 0 0 0 0\n";
    expectRefused("--bold " + quoted(writeSmallSeries()) + " --motion " + quoted(path), path, "line 2: has 5 columns");
}

TEST_F(BadInput, OutFolderCannotBeWritten) {
    const fs::path blocker = folder / "a-file";
    std::ofstream(blocker) << "x";
    const Outcome o = runKorvanth("--volumes 3 --dims 8 8 4 --out " + quoted((blocker / "out").string()));
    EXPECT_EQ(o.exitCode, 2) << o.output;
    EXPECT_NE(o.output.find("error: " + (blocker / "out").string() + ": cannot create the out folder"),
              std::string::npos)
        << o.output;
    EXPECT_EQ(readBytes(blocker), "x");
}

// ---------------------------------------------------------------------------
// Stored intensities that are not plain int16: scaled, rounded to nearest
// (halves away from zero), clamped, with a warning that counts the clamped;
// what changed is counted in the run's outputs.
TEST(StoredIntensities, ScaledFloatAndUnsignedDataAreConvertedByTheStatedRule) {
    const fs::path folder = freshFolder("convert");
    const int64_t dims[8] = {4, 3, 1, 1, 2, 1, 1, 1};
    {
        Image image(nifti_make_new_nim(dims, NIFTI_TYPE_FLOAT32, 1));
        // The library reads a stored not-a-number as 0.
        const float stored[6] = {1.25f, -0.75f, 20000.0f, -17000.0f, std::nanf(""), -0.5f};
        std::memcpy(image->data, stored, sizeof stored);
        image->scl_slope = 2.0;
        image->scl_inter = 0.5;
        const std::string path = (folder / "float.nii.gz").string();
        nifti_set_filenames(image.get(), path.c_str(), 0, 1);
        nifti_image_write(image.get());
        korvanth::NiftiSeries series;
        std::string error;
        ASSERT_TRUE(korvanth::readNiftiSeries(path, series, error)) << error;
        ASSERT_EQ(series.volumes.size(), 2u);
        // 3.0, -1.0, 40000.5 -> 32767, -33999.5 -> -32768 | NaN -> 0 -> 0.5 -> 1, -0.5 -> -1
        EXPECT_EQ(series.volumes[0], (std::vector<int16_t>{3, -1, 32767}));
        EXPECT_EQ(series.volumes[1], (std::vector<int16_t>{-32768, 1, -1}));
        ASSERT_EQ(series.warnings.size(), 1u);
        EXPECT_NE(series.warnings[0].find("2 values clamped"), std::string::npos) << series.warnings[0];
        EXPECT_NE(series.warnings[0].find("slope 2"), std::string::npos) << series.warnings[0];
        // Two clamped, the stored NaN, two rounded (0.5 and -0.5): said in
        // every output of a run of it.
        EXPECT_EQ(series.changedValues, 5);
        const fs::path out = folder / "out";
        const Outcome run = runKorvanth("--bold " + quoted(path) + " --motion none --out " + quoted(out.string()));
        ASSERT_EQ(run.exitCode, 0) << run.output;
        const std::string said = "5 stored values were changed to fit the run's 16-bit volumes";
        EXPECT_NE(run.output.find("Warning: " + said), std::string::npos) << run.output;
        EXPECT_NE(readBytes(out / "maps.json").find("\"changed_values\": 5"), std::string::npos);
        EXPECT_NE(readBytes(out / "report.html").find(said), std::string::npos);
    }
    {
        Image image(nifti_make_new_nim(dims, NIFTI_TYPE_UINT16, 1));
        const uint16_t stored[6] = {0, 32767, 32768, 65535, 7, 100};
        std::memcpy(image->data, stored, sizeof stored);
        const std::string path = (folder / "unsigned.nii").string();
        nifti_set_filenames(image.get(), path.c_str(), 0, 1);
        nifti_image_write(image.get());
        korvanth::NiftiSeries series;
        std::string error;
        ASSERT_TRUE(korvanth::readNiftiSeries(path, series, error)) << error;
        EXPECT_EQ(series.volumes[0], (std::vector<int16_t>{0, 32767, 32767}));
        EXPECT_EQ(series.volumes[1], (std::vector<int16_t>{32767, 7, 100}));
        EXPECT_EQ(series.changedValues, 2);
        ASSERT_EQ(series.warnings.size(), 1u);
        EXPECT_NE(series.warnings[0].find("2 values clamped"), std::string::npos) << series.warnings[0];
    }
    fs::remove_all(folder);
}

}  // namespace

#endif
