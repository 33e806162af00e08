// The QC report: framewise displacement, the pictures it writes and the
// figures of its summary.
#include "korvanth/outputs/report/qc_report.h"

#include <cairo.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>

namespace fs = std::filesystem;
using korvanth::MotionEstimate;
using korvanth::ReportInput;

namespace {

constexpr float nanValue = std::numeric_limits<float>::quiet_NaN();
constexpr float inf = std::numeric_limits<float>::infinity();
constexpr double oneDegreeMm = 3.14159265358979323846 / 180.0 * 50.0;

fs::path freshFolder(const std::string& name) {
    const fs::path folder =
        fs::temp_directory_path() / ("qc_report_test_" + name + "_" + std::to_string(std::random_device{}()));
    fs::remove_all(folder);
    return folder;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The number in the element of the given id, NaN when there is none.
double figure(const std::string& html, const std::string& id) {
    const std::string key = "id=\"" + id + "\">";
    const std::size_t at = html.find(key);
    if (at == std::string::npos) return std::numeric_limits<double>::quiet_NaN();
    return std::strtod(html.c_str() + at + key.size(), nullptr);
}

struct Png {
    int width = 0, height = 0;
    bool valid = false;
    int64_t pixelsOf(uint32_t rgb) const {
        int64_t n = 0;
        for (uint32_t p : pixels) n += (p & 0xffffff) == rgb;
        return n;
    }
    std::vector<uint32_t> pixels;
};

Png readPng(const fs::path& path) {
    Png png;
    cairo_surface_t* s = cairo_image_surface_create_from_png(path.string().c_str());
    if (cairo_surface_status(s) == CAIRO_STATUS_SUCCESS) {
        png.valid = true;
        png.width = cairo_image_surface_get_width(s);
        png.height = cairo_image_surface_get_height(s);
        const int stride = cairo_image_surface_get_stride(s);
        const unsigned char* data = cairo_image_surface_get_data(s);
        for (int y = 0; y < png.height; ++y) {
            const auto* line = reinterpret_cast<const uint32_t*>(data + static_cast<std::ptrdiff_t>(y) * stride);
            png.pixels.insert(png.pixels.end(), line, line + png.width);
        }
    }
    cairo_surface_destroy(s);
    return png;
}

// A 6 x 5 x 4 run whose mask is the voxels with x >= 2 (first volume 500;
// 20 outside). Map values depend on the voxel; NaN and infinities are planted.
ReportInput syntheticInput() {
    ReportInput in;
    in.title = "synthetic <test> run";
    in.pluginName = "Tarvex QC";
    in.dims[0] = 6;
    in.dims[1] = 5;
    in.dims[2] = 4;
    in.voxelSizeMm[0] = 2.0;
    in.voxelSizeMm[1] = 3.0;
    in.voxelSizeMm[2] = 4.0;
    in.repetitionTimeSeconds = 0.05;
    const std::size_t n = 6 * 5 * 4;
    in.firstVolume.resize(n);
    for (std::size_t i = 0; i < n; ++i) in.firstVolume[i] = (i % 6) >= 2 ? 500.0f : 20.0f;
    in.firstVolume[2] = 100.0f;  // exactly 100 is outside the mask
    in.maps.assign(8 * n, 0.0f);
    for (int map = 0; map < 8; ++map)
        for (std::size_t i = 0; i < n; ++i)
            if (in.firstVolume[i] > 100.0f)
                in.maps[map * n + i] =
                    static_cast<float>(static_cast<double>((i * 7 + map * 3) % 23) * 0.25 - (map < 7 ? 2.5 : 0.0));
    in.maps[0 * n + 10] = nanValue;  // masked: NaN
    in.maps[0 * n + 11] = inf;       // masked: +inf
    in.maps[0 * n + 16] = -inf;      // masked: -inf
    in.maps[1 * n + 0] = nanValue;   // outside the mask: drawn as outside, not as NaN
    in.maps[1 * n + 1] = inf;
    in.maps[1 * n + 6] = 1000.0f;  // outside: not the largest |t|
    in.maps[7 * n + 2] = 99.0f;    // outside (intensity 100): not in the median
    in.maps[7 * n + 3] = nanValue;
    in.maps[7 * n + 4] = inf;
    in.mapNames = {"Translation X", "Translation Y", "Translation Z", "Rotation X",
                   "Rotation Y",    "Rotation Z",    "Constant",      "tSNR"};
    // FD: 0, 0.1, 0.8727 (1 degree), 0.3, 0.6 (two translations back), 0.
    in.motion = {MotionEstimate{0, 0, 0, 0, 0, 0},        MotionEstimate{0.1, 0, 0, 0, 0, 0},
                 MotionEstimate{0.1, 0, 0, 0, 1.0, 0},    MotionEstimate{0.1, 0.3, 0, 0, 1.0, 0},
                 MotionEstimate{-0.2, 0.0, 0, 0, 1.0, 0}, MotionEstimate{-0.2, 0.0, 0, 0, 1.0, 0}};
    in.volumeCount = 6;
    in.stepSeconds = {0.004, 0.002, 0.010, 0.003, 0.0025, 0.0030};
    return in;
}

}  // namespace

TEST(FramewiseDisplacement, SumsAbsoluteBackwardDifferencesWithRotationsOnA50MmSphere) {
    EXPECT_TRUE(korvanth::framewiseDisplacement({}).empty());
    const std::vector<MotionEstimate> trace = {{0.0, 0.0, 0.0, 0.0, 0.0, 0.0},
                                               {0.0, 0.0, 0.0, 1.0, 0.0, 0.0},    // 1-degree rotation step
                                               {0.0, 0.0, 0.0, 1.0, 0.0, 0.0},    // still
                                               {0.2, -0.3, 0.0, 1.0, 0.0, 0.0},   // translations of both signs
                                               {0.0, 0.0, 0.1, 1.0, 0.0, -0.5}};  // back, plus a negative rotation
    const std::vector<double> fd = korvanth::framewiseDisplacement(trace);
    ASSERT_EQ(fd.size(), trace.size());
    EXPECT_EQ(fd[0], 0.0);
    EXPECT_NEAR(fd[1], 0.8727, 1e-4);
    EXPECT_EQ(fd[2], 0.0);
    EXPECT_NEAR(fd[3], 0.5, 1e-12);
    EXPECT_NEAR(fd[4], 0.2 + 0.3 + 0.1 + 0.5 * oneDegreeMm, 1e-12);
    for (int axis = 0; axis < 6; ++axis) {
        std::vector<MotionEstimate> step(2, MotionEstimate{});
        step[1][axis] = -2.0;
        EXPECT_NEAR(korvanth::framewiseDisplacement(step)[1], axis < 3 ? 2.0 : 2.0 * oneDegreeMm, 1e-12) << axis;
    }
}

TEST(QcReport, WritesPageAndPicturesWithFiguresOfTheInput) {
    const fs::path folder = freshFolder("full") / "nested";
    const ReportInput in = syntheticInput();
    std::string error;
    ASSERT_TRUE(korvanth::writeQcReport(folder.string(), in, error)) << error;

    const std::string html = readFile(folder / "report.html");
    ASSERT_FALSE(html.empty());
    EXPECT_NE(html.find("synthetic &lt;test&gt; run"), std::string::npos);
    EXPECT_EQ(html.find("No motion estimates given"), std::string::npos);

    // Every picture the page shows is there and is a PNG of sensible size.
    std::vector<std::string> pictures;
    for (std::size_t at = html.find("src=\""); at != std::string::npos; at = html.find("src=\"", at + 1))
        pictures.push_back(html.substr(at + 5, html.find('"', at + 5) - at - 5));
    ASSERT_EQ(pictures.size(), 11u);
    for (const std::string& name : pictures) {
        const Png png = readPng(folder / name);
        ASSERT_TRUE(png.valid) << name;
        EXPECT_GE(png.width, 600) << name;
        EXPECT_GE(png.height, 200) << name;
        EXPECT_LE(png.height, 1200) << name;
    }
    const Png motion = readPng(folder / "motion.png");
    EXPECT_EQ(motion.width, 1200);
    EXPECT_EQ(motion.height, 580);
    const Png fdPicture = readPng(folder / "fd.png");
    EXPECT_EQ(fdPicture.width, 1200);
    EXPECT_EQ(fdPicture.height, 300);

    // NaN and infinities in the mask are drawn in their own colours; outside
    // the mask they are not (the legend swatches are in both pictures).
    const Png withNonFinite = readPng(folder / "map1.png");
    const Png outsideOnly = readPng(folder / "map2.png");
    EXPECT_EQ(withNonFinite.width, 640);
    EXPECT_EQ(withNonFinite.height, outsideOnly.height);
    EXPECT_GT(withNonFinite.pixelsOf(0xff00ff), outsideOnly.pixelsOf(0xff00ff) + 20);
    EXPECT_GT(withNonFinite.pixelsOf(0x00ff3c), outsideOnly.pixelsOf(0x00ff3c) + 50);
    EXPECT_GT(withNonFinite.pixelsOf(0xffe600), outsideOnly.pixelsOf(0xffe600) + 50);

    // Summary figures, computed here from the input.
    const std::size_t n = in.firstVolume.size();
    std::vector<double> tsnr;
    int64_t masked = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!(in.firstVolume[i] > 100.0f)) continue;
        ++masked;
        if (std::isfinite(in.maps[7 * n + i])) tsnr.push_back(in.maps[7 * n + i]);
    }
    std::sort(tsnr.begin(), tsnr.end());
    const double medianMap =
        tsnr.size() % 2 ? tsnr[tsnr.size() / 2] : (tsnr[tsnr.size() / 2 - 1] + tsnr[tsnr.size() / 2]) / 2.0;
    EXPECT_EQ(figure(html, "volumes"), 6.0);
    EXPECT_EQ(figure(html, "voxels"), 120.0);
    EXPECT_EQ(figure(html, "masked-voxels"), static_cast<double>(masked));
    EXPECT_EQ(masked, 79);
    EXPECT_NEAR(figure(html, "median-tsnr-map"), medianMap, 1e-4);
    EXPECT_NEAR(figure(html, "median-tsnr"), medianMap * 30.0, 0.01);
    for (int map = 0; map < 6; ++map) {
        double largest = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double v = in.maps[map * n + i];
            if (in.firstVolume[i] > 100.0f && std::isfinite(v)) largest = std::max(largest, std::fabs(v));
        }
        EXPECT_NEAR(figure(html, "max-abs-" + std::to_string(map)), largest, 1e-3) << map;
    }
    EXPECT_NEAR(figure(html, "mean-fd"), (0.1 + oneDegreeMm + 0.3 + 0.6 + 0.0) / 5.0, 1e-3);
    EXPECT_EQ(figure(html, "fd-above-0.2"), 3.0);
    EXPECT_EQ(figure(html, "fd-above-0.5"), 2.0);
    EXPECT_NEAR(figure(html, "median-latency-ms"), 3.0, 1e-9);
    EXPECT_NEAR(figure(html, "max-latency-ms"), 10.0, 1e-9);

    // The thresholds of --fd-thresholds, and the FD the run measured where it is given.
    ReportInput thresholds = in;
    thresholds.fdThresholds[0] = 0.35;
    thresholds.fdThresholds[1] = 0.9;
    ASSERT_TRUE(korvanth::writeQcReport(folder.string(), thresholds, error)) << error;
    std::string other = readFile(folder / "report.html");
    EXPECT_EQ(figure(other, "fd-above-0.35"), 2.0);
    EXPECT_EQ(figure(other, "fd-above-0.9"), 0.0);
    EXPECT_EQ(other.find("fd-above-0.2"), std::string::npos);
    thresholds.framewiseDisplacementMm = {0.0, 1.0, 1.0, 1.0, 1.0, 0.5};
    ASSERT_TRUE(korvanth::writeQcReport(folder.string(), thresholds, error)) << error;
    other = readFile(folder / "report.html");
    EXPECT_NEAR(figure(other, "mean-fd"), 0.9, 1e-9);
    EXPECT_EQ(figure(other, "fd-above-0.9"), 4.0);

    // A live run: the two volumes read ahead kept out of the host's latency,
    // DVARS and the global signal drawn, the late volume named; without
    // acquisition times (NIfTI) the timeline is said to be none, not drawn.
    ReportInput live = in;
    const double lags[6] = {0.0, 0.01, 0.02, 1.6, 1.6, 1.59}, latency[6] = {0.9, 0.5, 0.02, 0.04, 0.03, 0.05};
    for (int v = 0; v < 6; ++v) {
        korvanth::VolumeTiming t;
        t.fromFile = t.timeline.timed = true;
        t.readAhead = v < 2;
        t.latencySeconds = latency[v];
        t.timeline.lagSeconds = lags[v];
        t.timeline.late = v == 3;
        live.liveTimings.push_back(t);
        live.dvars.push_back(v == 0 ? std::nan("") : 10.0 + v);
        live.globalMean.push_back(500.0 + v);
    }
    ASSERT_TRUE(korvanth::writeQcReport(folder.string(), live, error)) << error;
    other = readFile(folder / "report.html");
    EXPECT_NEAR(figure(other, "median-arrival-ms"), 35.0, 1e-9);
    EXPECT_EQ(figure(other, "read-ahead-volumes"), 2.0);
    EXPECT_EQ(figure(other, "late-volumes"), 4.0);
    for (const char* picture : {"signal.png", "timeline.png"}) EXPECT_TRUE(readPng(folder / picture).valid) << picture;
    for (korvanth::VolumeTiming& t : live.liveTimings) t.timeline = {};
    fs::remove(folder / "timeline.png");
    ASSERT_TRUE(korvanth::writeQcReport(folder.string(), live, error)) << error;
    other = readFile(folder / "report.html");
    EXPECT_NE(other.find("Arrival timeline: none (the input records no acquisition times)"), std::string::npos);
    EXPECT_FALSE(fs::exists(folder / "timeline.png"));
    fs::remove_all(folder.parent_path());
}

// A second trace adds the difference panels and its own FD line; volumes
// whose estimate is flagged are named, with the reasons.
TEST(QcReport, ShowsComparedMotionAndNamesFlaggedVolumes) {
    const fs::path folder = freshFolder("compared");
    ReportInput in = syntheticInput();
    in.motionSource = "estimated by Korvanth against volume 1";
    in.comparedMotion = in.motion;
    for (MotionEstimate& m : in.comparedMotion) m[1] += 0.05;
    in.comparedSource = "rp_run.txt";
    in.motionUnreliable = {0, 0, 1, 0, 1, 0};
    in.motionWarnings = {"", "", "volume 3: slice 7 set aside <as a dropout>", "", "volume 5: the fit diverged", ""};
    std::string error;
    ASSERT_TRUE(korvanth::writeQcReport(folder.string(), in, error)) << error;
    const std::string html = readFile(folder / "report.html");
    EXPECT_NE(html.find("compared with rp_run.txt"), std::string::npos);
    EXPECT_NE(html.find("id=\"motion-unreliable\">3, 5<"), std::string::npos);
    EXPECT_NE(
        html.find("<li>volume 3: slice 7 set aside &lt;as a dropout&gt;</li>\n<li>volume 5: the fit diverged</li>"),
        std::string::npos);
    // Two more panels of the same height as the first two.
    EXPECT_EQ(readPng(folder / "motion.png").height, 2 * 580);
    fs::remove_all(folder);
}

TEST(QcReport, SaysWhatIsMissingInsteadOfDrawingIt) {
    const fs::path folder = freshFolder("sparse");
    ReportInput in = syntheticInput();
    in.motion.clear();
    in.stepSeconds.clear();
    std::string error;
    ASSERT_TRUE(korvanth::writeQcReport(folder.string(), in, error)) << error;
    const std::string html = readFile(folder / "report.html");
    EXPECT_NE(html.find("No motion estimates given"), std::string::npos);
    EXPECT_NE(html.find("no motion estimates given"), std::string::npos);
    EXPECT_FALSE(fs::exists(folder / "motion.png"));
    EXPECT_FALSE(fs::exists(folder / "fd.png"));
    EXPECT_FALSE(fs::exists(folder / "latency.png"));
    EXPECT_TRUE(std::isnan(figure(html, "mean-fd")));
    EXPECT_TRUE(readPng(folder / "map8.png").valid);

    // Maps and first volume of the wrong size: a page without montages, no crash.
    in.maps.resize(10);
    in.firstVolume.clear();
    ASSERT_TRUE(korvanth::writeQcReport(folder.string(), in, error)) << error;
    EXPECT_NE(readFile(folder / "report.html").find("No maps given"), std::string::npos);
    fs::remove_all(folder);
}

TEST(QcReport, FailsNamingTheFolderOrFileItCannotWrite) {
    const fs::path base = freshFolder("unwritable");
    fs::create_directories(base);
    const fs::path blocker = base / "a-file";
    std::ofstream(blocker) << "not a folder";
    std::string error;
    const std::string folder = (blocker / "report").string();
    EXPECT_FALSE(korvanth::writeQcReport(folder, syntheticInput(), error));
    EXPECT_NE(error.find(folder), std::string::npos) << error;

    // The page itself cannot be written: a folder is in its place.
    const fs::path taken = base / "taken";
    fs::create_directories(taken / "report.html");
    error.clear();
    EXPECT_FALSE(korvanth::writeQcReport(taken.string(), syntheticInput(), error));
    EXPECT_NE(error.find((taken / "report.html").string()), std::string::npos) << error;
    fs::remove_all(base);
}
