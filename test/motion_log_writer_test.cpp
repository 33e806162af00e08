// The host's motion log as the plug-in's reader sees it: every value the host
// writes must come back through the reader's 8-character window.
#include "korvanth/run/motion_log_writer.h"
#include "motion_log_fixture.h"
#include "plugin/host_binding/host_function_table.h"
#include "plugin/qc/motion_log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Half a unit in the last decimal that `text` prints, scaled by its exponent
// when it has one: the most by which the text may differ from the value it stands for.
double halfUnitOfLastDecimal(const std::string& text) {
    const std::size_t exponentAt = text.find_first_of("eE");
    const std::string mantissa = text.substr(0, exponentAt);
    const std::size_t point = mantissa.find('.');
    const int decimals = point == std::string::npos ? 0 : static_cast<int>(mantissa.size() - point - 1);
    const int exponent = exponentAt == std::string::npos ? 0 : std::atoi(text.c_str() + exponentAt + 1);
    return 0.5 * std::pow(10.0, exponent - decimals);
}

// Half the spacing of 32-bit floats at `value`: the reader's own rounding.
double halfFloatSpacing(float value) {
    const float magnitude = std::fabs(value);
    return 0.5 * static_cast<double>(std::nextafter(magnitude, std::numeric_limits<float>::infinity()) - magnitude);
}

using MotionLogWriterTest = MotionLogFolder;

TEST_F(MotionLogWriterTest, HeaderIsThreeLinesAndVolumeOneIsLineFour) {
    korvanth::MotionLogWriter writer(targetFolder_, project_);
    ASSERT_TRUE(writer.isOpen());
    for (int volume = 0; volume < 3; ++volume) {
        const double v = volume;
        writer.append(volume, {v, v, v, v, v, v});
    }
    std::ifstream in(writer.path());
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 6u);
    for (int n = 0; n < 3; ++n) EXPECT_EQ(lines[n].find("dx:"), std::string::npos) << lines[n];
    EXPECT_NE(lines[3].find("dx:"), std::string::npos);

    // The reader echoes exactly those three lines at step 3 and parses volume 3 (line 6).
    const auto reading = read(3);
    EXPECT_EQ(loggedLines(), (std::vector<std::string>{lines[0], lines[1], lines[2]}));
    EXPECT_EQ(reading.values, (tarvex::MotionParameterRow{2, 2, 2, 2, 2, 2}));
}

TEST_F(MotionLogWriterTest, EveryWrittenValueSurvivesTheReadersWindow) {
    std::vector<double> values = {0.0,       -0.0,      -0.0000001, 0.0000049,  99.99999,   -99.99999,
                                  9.9999996, -9.999996, -123.4567,  12345.678,  -12345.678, 19.999999,
                                  -20.0,     0.5,       1234567.8,  -1234567.8, 123456789., -987654321.};
    std::mt19937_64 random(20240611);
    std::uniform_real_distribution<double> motion(-20.0, 20.0);
    while (values.size() % 6 != 0 || values.size() < 600) values.push_back(motion(random));

    korvanth::MotionLogWriter writer(targetFolder_, project_);
    ASSERT_TRUE(writer.isOpen());
    const double filler = 0;
    writer.append(0, {filler, filler, filler, filler, filler, filler});  // line 4: never read
    const int rows = static_cast<int>(values.size() / 6);
    for (int row = 0; row < rows; ++row) {
        korvanth::MotionEstimate estimate{};
        for (int k = 0; k < 6; ++k) estimate[k] = values[row * 6 + k];
        writer.append(row + 1, estimate);
    }

    for (int row = 0; row < rows; ++row) {
        const auto reading = read(row + 2);  // line row + 5
        EXPECT_TRUE(reading.problem.empty()) << reading.problem;
        for (int k = 0; k < 6; ++k) {
            const double value = values[row * 6 + k];
            const std::string text = korvanth::formatMotionValue(value);
            const float got = reading.values[k];
            const double error = std::fabs(static_cast<double>(got) - value);
            EXPECT_LE(error, halfUnitOfLastDecimal(text) + halfFloatSpacing(got))
                << "value " << value << " written as \"" << text << "\" read as " << got;
            if (std::fabs(value) < 100) {
                // Eight characters hold at least four decimals below 100 (e.g. "-99.9999").
                EXPECT_LE(error, 5e-5 + halfFloatSpacing(got)) << "value " << value << " written as \"" << text << "\"";
            }
        }
    }
}

TEST_F(MotionLogWriterTest, ValueOfAnyMagnitudeFitsTheWindow) {
    for (const double value : {1e7, -1e7, 1e8, -1e8, 1.5e38, -1.5e38, 1e100, -1e100, 1e-300, -1e-300,
                               std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()}) {
        const std::string text = korvanth::formatMotionValue(value);
        EXPECT_LE(text.size(), 8u) << value << " written as \"" << text << "\"";
        // Read back as a double, the text stays within half a unit of its last decimal.
        const double back = std::strtod(text.c_str(), nullptr);
        if (std::isfinite(value)) {
            EXPECT_LE(std::fabs(back - value), halfUnitOfLastDecimal(text)) << value << " as \"" << text << "\"";
        } else {
            EXPECT_EQ(back, value) << "\"" << text << "\"";
        }
    }
}

}  // namespace
