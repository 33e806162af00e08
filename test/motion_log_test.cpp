// The motion log reader: which line a step reads, how the values are cut from
// their 8-character windows, and what a malformed line or name yields.
#include "plugin/qc/motion_log.h"
#include "motion_log_fixture.h"
#include "plugin/host_binding/host_function_table.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using tarvex::MotionParameterRow;
using tarvex::readMotionParameters;

const MotionParameterRow zeros{};

// A data line whose six values identify its line number n (all exact in binary).
std::string lineFor(int n) {
    const std::string v = std::to_string(n);
    return "Volume " + v + ": dx: " + v + ".25 dy: " + v + ".5 dz: -" + v + ".75 rx: " + v + ".125 ry: -" + v +
           ".375 rz: " + v;
}

MotionParameterRow valuesFor(int n) {
    const float f = static_cast<float>(n);
    return {f + 0.25f, f + 0.5f, -(f + 0.75f), f + 0.125f, -(f + 0.375f), f};
}

// Header lines 1-3 followed by lineFor(4) ... lineFor(lastLine), each ending in `end`.
std::string logWithLines(int lastLine, const std::string& end = "\n") {
    std::string text = "Header one" + end + "Header two" + end + "Header three" + end;
    for (int n = 4; n <= lastLine; ++n) text += lineFor(n) + end;
    return text;
}

class MotionLogTest : public MotionLogFolder {
protected:
    void writeLog(const std::string& bytes) const { writeFile(logPath(), bytes); }
    static void writeFile(const std::string& path, const std::string& bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << bytes;
        ASSERT_TRUE(out.good()) << path;
    }
    // Writes a log whose single data line (line 5) is `line` and reads it at step 2.
    tarvex::MotionLogReading readLine5(const std::string& line) const {
        writeLog(logWithLines(4) + line + "\n");
        return read(2);
    }
};

// --- Which line a step reads -------------------------------------------------

TEST_F(MotionLogTest, StepsBelowTwoReadNothingAndLogNothing) {
    writeLog(logWithLines(20));
    for (const int32_t step : {-1, 0, 1}) {
        const auto reading = read(step);
        EXPECT_EQ(reading.values, zeros) << "step " << step;
        EXPECT_TRUE(reading.problem.empty());
    }
    EXPECT_TRUE(loggedLines().empty());
}

TEST_F(MotionLogTest, StepReadsLineStepPlusThreeAndOnlyStepThreeEchoesTheHeader) {
    writeLog(logWithLines(20));
    for (const int32_t step : {2, 4, 5, 17}) {
        const auto reading = read(step);
        EXPECT_EQ(reading.values, valuesFor(step + 3)) << "step " << step;
        EXPECT_TRUE(reading.problem.empty()) << reading.problem;
    }
    EXPECT_TRUE(loggedLines().empty());

    EXPECT_EQ(read(3).values, valuesFor(6));
    EXPECT_EQ(loggedLines(), (std::vector<std::string>{"Header one", "Header two", "Header three"}));
}

TEST_F(MotionLogTest, EmptyLinesCountAndAnEmptyTargetGivesWayToTheNextNonEmptyLine) {
    // Lines 4 and 5 empty; 6 and 7 hold values; 8 and 9 empty; 10 holds values.
    writeLog("H1\nH2\nH3\n\n\n" + lineFor(6) + "\n" + lineFor(7) + "\n\n\n" + lineFor(10) + "\n");
    EXPECT_EQ(read(2).values, valuesFor(6));  // line 5 empty: line 6 instead
    EXPECT_EQ(read(3).values, valuesFor(6));
    EXPECT_EQ(read(4).values, valuesFor(7));
    EXPECT_EQ(read(5).values, valuesFor(10));  // lines 8, 9 empty
    EXPECT_EQ(read(7).values, valuesFor(10));
    EXPECT_EQ(read(8).values, zeros);  // past the end
}

TEST_F(MotionLogTest, ShortOrMissingFileGivesZerosWithoutProblem) {
    writeLog(logWithLines(5) + "\n\n");  // lines 6 and 7 empty, then the end
    for (const int32_t step : {3, 4, 5, 100}) {
        const auto reading = read(step);
        EXPECT_EQ(reading.values, zeros) << "step " << step;
        EXPECT_TRUE(reading.problem.empty());
    }
    EXPECT_EQ(loggedLines().size(), 3u);  // the header is still echoed at step 3

    fs::remove(logPath());
    loggedLines().clear();
    for (const int32_t step : {2, 3, 4}) {
        const auto reading = read(step);
        EXPECT_EQ(reading.values, zeros) << "step " << step;
        EXPECT_TRUE(reading.problem.empty());
    }
    EXPECT_EQ(loggedLines(), (std::vector<std::string>{"", "", ""}));
}

TEST_F(MotionLogTest, LastLineWithoutLineFeedIsRead) {
    writeLog(logWithLines(4) + lineFor(5));
    EXPECT_EQ(read(2).values, valuesFor(5));
    EXPECT_EQ(read(3).values, zeros);
}

TEST_F(MotionLogTest, CarriageReturnBeforeLineFeedIsNotPartOfTheLine) {
    writeLog(logWithLines(9, "\r\n"));
    EXPECT_EQ(read(2).values, valuesFor(5));
    EXPECT_EQ(read(3).values, valuesFor(6));
    EXPECT_EQ(loggedLines(), (std::vector<std::string>{"Header one", "Header two", "Header three"}));

    // A line holding only CR is empty: it is counted and skipped.
    writeLog("H1\r\nH2\r\nH3\r\n" + lineFor(4) + "\r\n\r\n" + lineFor(6) + "\r\n");
    EXPECT_EQ(read(2).values, valuesFor(6));
    // A CR that does not precede an LF stays: "\r\r\n" leaves one CR, a non-empty line.
    writeLog("H1\nH2\nH3\n" + lineFor(4) + "\n\r\r\n" + lineFor(6) + "\n");
    const auto reading = read(2);
    EXPECT_EQ(reading.values, zeros);
    EXPECT_FALSE(reading.problem.empty());
}

TEST_F(MotionLogTest, TwoLineFileAtStepThreeRepeatsOrEmptiesTheThirdEcho) {
    writeLog("First\nSecond");
    EXPECT_EQ(read(3).values, zeros);
    EXPECT_EQ(loggedLines(), (std::vector<std::string>{"First", "Second", "Second"}));

    loggedLines().clear();
    writeLog("First\nSecond\n");
    EXPECT_EQ(read(3).values, zeros);
    EXPECT_EQ(loggedLines(), (std::vector<std::string>{"First", "Second", ""}));
}

// --- Value windows -------------------------------------------------------------

TEST_F(MotionLogTest, ValuesGoByKeyAndTheFirstOccurrenceCounts) {
    const auto reading = readLine5("DX: 9 rz: 6 ry: 5 rx:4 dz:\t3 dy: 2 dx: 1 dx: 7 rz: 8");
    EXPECT_EQ(reading.values, (MotionParameterRow{1, 2, 3, 4, 5, 6}));
    EXPECT_TRUE(reading.problem.empty()) << reading.problem;
}

TEST_F(MotionLogTest, EachValueIsReadFromTheEightCharactersAfterItsKey) {
    auto reading = readLine5("dx: -0.123456 dy: -1.5e-05 dz:2.5,rx:3.5 rx: 0 ry: +1e1x rz: 0");
    EXPECT_EQ(reading.values[0], -0.1234f);  // " -0.1234": the digits 56 are not read
    EXPECT_EQ(reading.values[1], -1.5f);     // " -1.5e-0": the exponent is cut off
    EXPECT_EQ(reading.values[2], 2.5f);      // "2.5,rx:3" ends at the comma
    EXPECT_EQ(reading.values[3], 3.5f);      // the first "rx:" is the one inside dz's window
    EXPECT_EQ(reading.values[4], 10.0f);
    EXPECT_TRUE(reading.problem.empty()) << reading.problem;

    // A number that starts after the window is not seen; at the line's end the window is shorter.
    reading = readLine5("dy:1 dz:2 rx:3 ry:4 rz:5 dx:        7");
    EXPECT_EQ(reading.values, (MotionParameterRow{0, 1, 2, 3, 4, 5}));
    EXPECT_NE(reading.problem.find("dx:"), std::string::npos) << reading.problem;
}

// --- Lines and names that cannot be read whole -----------------------------------

TEST_F(MotionLogTest, BadValueOrMissingKeyGivesZeroForThatValueAndAProblem) {
    auto reading = readLine5("dx: abc dy: 2 dz: 3 rx: 4 ry: 5 rz:");
    EXPECT_EQ(reading.values, (MotionParameterRow{0, 2, 3, 4, 5, 0}));
    EXPECT_NE(reading.problem.find("\"dx:\""), std::string::npos) << reading.problem;
    EXPECT_NE(reading.problem.find("\"rz:\""), std::string::npos) << reading.problem;
    EXPECT_NE(reading.problem.find("line 5"), std::string::npos) << reading.problem;

    reading = readLine5("dx: 1 dy: 1e39 dz: -1e39 rx: 4 ry: 5 rz: 6");
    EXPECT_EQ(reading.values, (MotionParameterRow{1, 0, 0, 4, 5, 6}));
    EXPECT_NE(reading.problem.find("\"dy:\" out of float range"), std::string::npos) << reading.problem;
    EXPECT_NE(reading.problem.find("\"dz:\" out of float range"), std::string::npos) << reading.problem;

    reading = readLine5("dx: 1 dy: 2 dz: 3 ry: 5 rz: 6");
    EXPECT_EQ(reading.values, (MotionParameterRow{1, 2, 3, 0, 5, 6}));
    EXPECT_NE(reading.problem.find("no \"rx:\""), std::string::npos) << reading.problem;
}

TEST_F(MotionLogTest, NameOfSixHundredCharactersIsReadAndALongerOneIsNeverOpened) {
    // Folders nested deep enough that the composed name reaches a given length.
    const auto projectForNameLength = [&](std::size_t nameLength) {
        const std::size_t relativeLength = nameLength - targetFolder_.size() - std::string("_3DMC.log").size();
        std::string relative;
        while (relativeLength - relative.size() > 150) {
            relative += std::string(100, 'd') + "/";
            fs::create_directories(targetFolder_ + relative);
        }
        return relative + std::string(relativeLength - relative.size(), 'p');
    };
    ASSERT_LT(targetFolder_.size(), 300u);

    project_ = projectForNameLength(600);
    writeLog(logWithLines(5));
    auto reading = read(2);
    EXPECT_EQ(reading.values, valuesFor(5));
    EXPECT_TRUE(reading.problem.empty()) << reading.problem;

    // 700 characters whose first 600 name an existing, readable log: that file must not be read.
    const std::string fullName = targetFolder_ + projectForNameLength(600) + std::string(100, 'x') + "_3DMC.log";
    project_ = fullName.substr(targetFolder_.size(), fullName.size() - targetFolder_.size() - 9);
    writeFile(fullName.substr(0, 600), logWithLines(8));
    for (const int32_t step : {2, 3}) {
        reading = read(step);
        EXPECT_EQ(reading.values, zeros) << "step " << step;
        EXPECT_NE(reading.problem.find("longer than 600 characters"), std::string::npos) << reading.problem;
    }
    EXPECT_EQ(loggedLines(), (std::vector<std::string>{"", "", ""}));
}

// --- A log that grows while the run goes on ------------------------------------------

TEST_F(MotionLogTest, LinesAppendedByAWriterBetweenCallsAreSeen) {
    std::FILE* writer = std::fopen(logPath().c_str(), "w");
    ASSERT_NE(writer, nullptr);
    const auto append = [writer](const std::string& text) {
        std::fputs(text.c_str(), writer);
        std::fflush(writer);
    };
    append(logWithLines(4));
    EXPECT_EQ(read(2).values, zeros);
    append(lineFor(5) + "\n");
    EXPECT_EQ(read(2).values, valuesFor(5));
    EXPECT_EQ(read(3).values, zeros);
    append("\n");  // line 6 empty
    EXPECT_EQ(read(3).values, zeros);
    append(lineFor(7));  // not yet ended by its LF
    EXPECT_EQ(read(3).values, valuesFor(7));
    EXPECT_EQ(read(4).values, valuesFor(7));
    append("\n" + lineFor(8) + "\n");
    EXPECT_EQ(read(5).values, valuesFor(8));
    EXPECT_EQ(loggedLines().size(), 9u);  // three calls at step 3, three header lines each
    std::fclose(writer);
}

#ifdef __linux__
TEST_F(MotionLogTest, NoFileStaysOpenAfterACall) {
    writeLog(logWithLines(10));
    const auto openFiles = [] {
        return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator{});
    };
    const auto before = openFiles();
    for (int32_t step = 2; step < 40; ++step) read(step);  // found, past the end, and the header echo
    EXPECT_EQ(openFiles(), before);
}
#endif

}  // namespace
