// Motion estimate files: each format's column order and units, the fMRIPrep
// header lookup, and the messages for malformed files.
#include <gtest/gtest.h>

#include "korvanth/outputs/run_outputs.h"
#include "korvanth/sources/motion/motion_file_source.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace {

using korvanth::MotionEstimate;
using korvanth::MotionFormat;

constexpr double pi = 3.14159265358979323846;

std::vector<MotionEstimate> parse(const std::string& text, MotionFormat format) {
    std::vector<MotionEstimate> motion;
    std::string error;
    EXPECT_TRUE(korvanth::parseMotionText(text, format, "test", motion, error)) << error;
    return motion;
}

std::string parseError(const std::string& text, MotionFormat format) {
    std::vector<MotionEstimate> motion;
    std::string error;
    EXPECT_FALSE(korvanth::parseMotionText(text, format, "bad.txt", motion, error));
    EXPECT_TRUE(motion.empty());
    return error;
}

void expectEstimate(const MotionEstimate& actual, const MotionEstimate& expected) {
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(actual[i], expected[i], 1e-12) << "component " << i;
}

// Rotations of 1, 2, 3 degrees as radians, translations of 0.5, -1.5, 2.25 mm.
const MotionEstimate expected{0.5, -1.5, 2.25, 1.0, -2.0, 3.0};

std::string radians(double degrees) {
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", degrees * pi / 180.0);
    return text;
}

TEST(MotionFiles, EachFormatHasItsColumnOrderAndUnits) {
    const std::string rx = radians(1.0), ry = radians(-2.0), rz = radians(3.0);
    const std::string zeros = "0 0 0 0 0 0\n";
    // FSL: rotations (radians) first, then translations (mm).
    auto fsl = parse(zeros + rx + "  " + ry + "  " + rz + "  0.5  -1.5  2.25  \n", MotionFormat::Fsl);
    ASSERT_EQ(fsl.size(), 2u);
    expectEstimate(fsl[0], {0, 0, 0, 0, 0, 0});
    expectEstimate(fsl[1], expected);
    // SPM: translations (mm) first, then rotations (radians); exponents allowed.
    auto spm = parse("5.0e-01 -1.5 2.25 " + rx + " " + ry + " " + rz + "\r\n", MotionFormat::Spm);
    ASSERT_EQ(spm.size(), 1u);
    expectEstimate(spm[0], expected);
    // Plain: translations (mm), rotations already in degrees; comments and blank lines skipped.
    auto plain = parse("# header\n\n0.5\t-1.5\t2.25\t1\t-2\t3\n", MotionFormat::Plain);
    ASSERT_EQ(plain.size(), 1u);
    expectEstimate(plain[0], expected);
}

TEST(MotionFiles, ConfoundsColumnsAreFoundByNameAndFirstRowNaIsZero) {
    const std::string text =
        "global_signal\trot_z\ttrans_x\tframewise_displacement\trot_x\ttrans_z\trot_y\ttrans_y\n"
        "812.5\tn/a\tn/a\tn/a\tn/a\tn/a\tn/a\tn/a\n"
        "813.0\t" +
        radians(3.0) + "\t0.5\tn/a\t" + radians(1.0) + "\t2.25\t" + radians(-2.0) + "\t-1.5\n";
    auto motion = parse(text, MotionFormat::Fmriprep);
    ASSERT_EQ(motion.size(), 2u);
    expectEstimate(motion[0], {0, 0, 0, 0, 0, 0});
    expectEstimate(motion[1], expected);

    const std::string header = "trans_x\ttrans_y\ttrans_z\trot_x\trot_y\trot_z\n";
    EXPECT_NE(parseError(header + "0\t0\t0\t0\t0\t0\n0\tn/a\t0\t0\t0\t0\n", MotionFormat::Fmriprep)
                  .find("line 3: trans_y 'n/a' is not a finite number"),
              std::string::npos);
    EXPECT_NE(parseError("trans_x\ttrans_y\ttrans_z\trot_x\trot_y\n0\t0\t0\t0\t0\n", MotionFormat::Fmriprep)
                  .find("no column rot_z"),
              std::string::npos);
    EXPECT_NE(parseError(header + "0\t0\t0\t0\t0\n", MotionFormat::Fmriprep).find("line 2: has 5 columns"),
              std::string::npos);
}

TEST(MotionFiles, MalformedRowsAreNamedByLine) {
    const std::string error = parseError("0 0 0 0 0 0\n0 0 0 0 0\n", MotionFormat::Fsl);
    EXPECT_NE(error.find("bad.txt, line 2: has 5 columns"), std::string::npos) << error;
    EXPECT_NE(parseError("0 0 0 0 0 0 0\n", MotionFormat::Spm).find("has 7 columns"), std::string::npos);
    EXPECT_NE(parseError("0 0 0 0 x1 0\n", MotionFormat::Plain).find("'x1' is not a finite number"), std::string::npos);
    EXPECT_NE(parseError("0 0 0 0 nan 0\n", MotionFormat::Plain).find("'nan'"), std::string::npos);
    EXPECT_NE(parseError("0 0 0 0 1.5.2 0\n", MotionFormat::Plain).find("'1.5.2'"), std::string::npos);
}

TEST(MotionFiles, FileNeedsOneRowPerVolumeAndPlainFilesReadBackExactly) {
    const auto path = (std::filesystem::temp_directory_path() / "replay_motion_roundtrip.txt").string();
    std::vector<MotionEstimate> written;
    for (int v = 0; v < 7; ++v)
        written.push_back({0.1 * v, -1.0 / 3.0 * v, 1e-7 * v, std::sqrt(2.0) * v, -0.3 * v, 123.456789012345 * v});
    std::string error;
    ASSERT_TRUE(korvanth::writePlainMotionFile(path, written, error)) << error;
    std::vector<MotionEstimate> read;
    ASSERT_TRUE(korvanth::readMotionFile(path, MotionFormat::Plain, 7, read, error)) << error;
    EXPECT_EQ(read, written);  // bit for bit: a replay of a synthetic run sees the same trace

    EXPECT_FALSE(korvanth::readMotionFile(path, MotionFormat::Plain, 8, read, error));
    EXPECT_NE(error.find("has 7 motion rows, but the run has 8 volumes"), std::string::npos) << error;
    EXPECT_TRUE(read.empty());
    std::filesystem::remove(path);
    EXPECT_FALSE(korvanth::readMotionFile(path, MotionFormat::Plain, 7, read, error));
    EXPECT_NE(error.find(path), std::string::npos);
}

TEST(MotionFiles, FormatNames) {
    MotionFormat format = MotionFormat::Plain;
    for (const char* name : {"fsl", "spm", "fmriprep", "plain"}) {
        ASSERT_TRUE(korvanth::parseMotionFormat(name, format)) << name;
        EXPECT_STREQ(korvanth::motionFormatName(format), name);
    }
    EXPECT_FALSE(korvanth::parseMotionFormat("FSL", format));
}

}  // namespace
