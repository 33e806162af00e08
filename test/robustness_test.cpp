// Robustness against whatever the host hands the plug-in: the inputs kept
// from fuzzing (seeds and former findings) replayed through the fuzz drivers,
// whose invariants abort the test on a violation, plus direct regression
// tests for each fault found.
#include "fuzz/input_file_drivers.h"
#include "fuzz/motion_log_driver.h"
#include "fuzz/plugin_driver.h"
#include "plugin/host_binding/host_function_table.h"
#include "plugin/tarvex_plugin.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using tarvex::hostFunctions;
using tarvex::HostFunctionTable;

// Every kept input of one fuzz target: its seeds and its former findings.
std::vector<fs::path> keptInputs(const std::string& target) {
    std::vector<fs::path> inputs;
    for (const char* kind : {"corpus", "regressions"}) {
        const fs::path folder = fs::path(TARVEX_SOURCE_DIR) / "fuzz" / kind / target;
        if (!fs::is_directory(folder)) continue;
        for (const auto& entry : fs::directory_iterator(folder))
            if (entry.is_regular_file()) inputs.push_back(entry.path());
    }
    return inputs;
}

std::vector<uint8_t> readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

template <typename Driver>
void replay(const std::string& target, Driver driver) {
    const std::vector<fs::path> inputs = keptInputs(target);
    ASSERT_GE(inputs.size(), 5u) << "the seeds of " << target << " are missing";
    for (const fs::path& input : inputs) {
        SCOPED_TRACE(input.string());
        const std::vector<uint8_t> bytes = readBytes(input);
        ASSERT_FALSE(bytes.empty());
        driver(bytes.data(), bytes.size());
    }
    // A truncated input is complete as well: everything missing reads as 0.
    driver(nullptr, 0);
}

TEST(KeptFuzzInputs, ReplayThroughTheMotionLogReader) { replay("motion_log_fuzzer", tarvex::fuzz::runMotionLogInput); }

TEST(KeptFuzzInputs, ReplayThroughThePlugInUnderAFakeHost) {
    replay("plugin_fuzzer", tarvex::fuzz::runPluginInput);
    EXPECT_EQ(hostFunctions().tLogText, nullptr) << "the driver restores the empty host table";
}

TEST(KeptFuzzInputs, ReplayThroughTheHostsFileReaders) {
    replay("nifti_series_fuzzer", tarvex::fuzz::runNiftiSeriesInput);
    replay("motion_file_fuzzer", tarvex::fuzz::runMotionFileInput);
}

// --- a small fake host for the direct regression tests ---------------------

struct Host {
    int32_t dims[3] = {0, 0, 0};
    std::vector<std::vector<int16_t>> volumes;
    std::vector<int16_t*> timeCourse;
    std::vector<float> maps;
    std::vector<std::string> log;
    char folderFill = 0;  // non-zero: tGetTargetFolder fills all 601 bytes with it
    char nameFill = 0;    // likewise for tGetProjectName
};
Host host;

void logText(const char* line) { host.log.emplace_back(line); }
void noPath(char*) {}
void getDims(int32_t* x, int32_t* y, int32_t* z) {
    *x = host.dims[0];
    *y = host.dims[1];
    *z = host.dims[2];
}
void getProjectName(char* name601) {
    if (host.nameFill != 0) std::memset(name601, host.nameFill, 601);
}
void getTargetFolder(char* folder601) {
    if (host.folderFill != 0) std::memset(folder601, host.folderFill, 601);
}
int16_t** getTimeCourse() { return host.timeCourse.empty() ? nullptr : host.timeCourse.data(); }
void registerMaps(int32_t) {}
void setMapName(int32_t, const char*) {}
void setDisplayStatus(int32_t, int32_t) {}
void updateMapList() {}
void showMaps(bool) {}
float* getMaps() { return host.maps.empty() ? nullptr : host.maps.data(); }

class Robustness : public ::testing::Test {
protected:
    void SetUp() override {
        host = Host{};
        HostFunctionTable& t = hostFunctions();
        t = HostFunctionTable{};
        t.tLogText = logText;
        t.tGetKRVPath = noPath;
        t.tGetPluginsPath = noPath;
        t.tGetDimsOfFunctionalData = getDims;
        t.tGetProjectName = getProjectName;
        t.tGetTargetFolder = getTargetFolder;
        t.tGetTimeCourseData = getTimeCourse;
        t.tRegisterMaps = registerMaps;
        t.tSetPluginMapName = setMapName;
        t.tSetDisplayStatusOfMap = setDisplayStatus;
        t.tUpdateMapList = updateMapList;
        t.tShowPluginMaps = showMaps;
        t.tGetPluginMaps = getMaps;
    }
    void TearDown() override { hostFunctions() = HostFunctionTable{}; }

    // A run of `volumes` volumes of dims x*y*z, every voxel at `intensity`.
    static void giveRun(int32_t x, int32_t y, int32_t z, int volumes, int16_t intensity) {
        host.dims[0] = x, host.dims[1] = y, host.dims[2] = z;
        const auto count = static_cast<std::size_t>(x) * y * z;
        host.volumes.assign(volumes, std::vector<int16_t>(count, intensity));
        host.timeCourse.clear();
        for (auto& volume : host.volumes) host.timeCourse.push_back(volume.data());
        host.maps.assign(8 * count, -1.0f);
    }

    TarvexPlugin plugin;
};

// Found by plugin_fuzzer: a refused first step (dimensions without a usable
// voxel count) set stepCount back to 0 although a refused operation leaves
// it as it was.
TEST_F(Robustness, RefusedFirstStepLeavesStepCountAsItWas) {
    const int32_t refused[][3] = {{0, 3, 3}, {-1, 4, 4}, {46341, 46341, 1}, {2147483647, 2, 1}};
    for (const auto& dims : refused) {
        SCOPED_TRACE(std::to_string(dims[0]) + " x " + std::to_string(dims[1]) + " x " + std::to_string(dims[2]));
        ASSERT_TRUE(plugin.executePreRun());
        host.dims[0] = dims[0], host.dims[1] = dims[1], host.dims[2] = dims[2];
        EXPECT_FALSE(plugin.executePreStep());
        EXPECT_EQ(plugin.stepCount, 0);
        ASSERT_TRUE(plugin.executePostStep());  // no voxels: the step only counts
        ASSERT_TRUE(plugin.executePostStep());
        ASSERT_EQ(plugin.stepCount, 2);
        ASSERT_TRUE(plugin.executePostRun());
        // Without a new executePreRun the next first step asks again and is refused again.
        EXPECT_FALSE(plugin.executePreStep());
        EXPECT_EQ(plugin.stepCount, 2);
        EXPECT_TRUE(plugin.firstStepPending);
        EXPECT_EQ(plugin.voxelCount, 0);
        EXPECT_TRUE(plugin.voxelModels.empty());
    }
    // Usable dimensions afterwards start the run at step 0.
    giveRun(2, 2, 1, 3, 500);
    ASSERT_TRUE(plugin.executePreStep());
    EXPECT_EQ(plugin.stepCount, 0);
    EXPECT_EQ(plugin.voxelModels.size(), 4u);
}

// stepCount at its largest value overflowed when a step completed (signed
// overflow, which UBSan stops on in the sanitizer build); such a step is
// refused now.
TEST_F(Robustness, StepCountAtItsLargestValueIsNotAdvancedPastIt) {
    ASSERT_TRUE(plugin.executePreRun());
    EXPECT_FALSE(plugin.executePreStep());  // dimensions 0 x 0 x 0: no voxels
    plugin.stepCount = std::numeric_limits<int32_t>::max() - 1;
    EXPECT_TRUE(plugin.executePostStep());
    EXPECT_EQ(plugin.stepCount, std::numeric_limits<int32_t>::max());
    const std::size_t logBefore = host.log.size();
    EXPECT_FALSE(plugin.executePostStep());
    EXPECT_FALSE(plugin.executePostStep());
    EXPECT_EQ(plugin.stepCount, std::numeric_limits<int32_t>::max());
    EXPECT_EQ(host.log.size(), logBefore + 1) << "the refusal is logged once per run";
}

// A refused first step because the host has no map block also leaves stepCount alone.
TEST_F(Robustness, FirstStepWithoutMapBlockIsRefusedWithoutMovingStepCount) {
    giveRun(2, 2, 2, 4, 500);
    ASSERT_TRUE(plugin.executePreRun());
    ASSERT_TRUE(plugin.executePreStep());
    ASSERT_TRUE(plugin.executePostStep());
    ASSERT_TRUE(plugin.executePostRun());
    host.maps.clear();
    EXPECT_FALSE(plugin.executePreStep());
    EXPECT_EQ(plugin.stepCount, 1);
    EXPECT_TRUE(plugin.firstStepPending);
}

// Texts that fill the whole 601-byte buffer without a terminator are cut
// inside the buffer: the project line holds exactly 600 characters of name,
// and the motion log name built from them is too long to be opened.
TEST_F(Robustness, UnterminatedHostTextsStayInsideTheirBuffers) {
    giveRun(1, 1, 1, 5, 500);
    host.folderFill = 'F';
    host.nameFill = 'N';
    ASSERT_TRUE(plugin.executePreRun());
    ASSERT_TRUE(plugin.executePreStep());
    for (int step = 0; step < 4; ++step) ASSERT_TRUE(plugin.executePostStep());
    EXPECT_EQ(plugin.stepCount, 4);
    const std::string projectLine = "Processing project: " + std::string(600, 'N');
    int projectLines = 0;
    for (const std::string& line : host.log) projectLines += line == projectLine;
    EXPECT_EQ(projectLines, 1);
    int tooLongNotes = 0;
    for (const std::string& line : host.log) tooLongNotes += line.rfind("Motion log name longer than 600", 0) == 0;
    EXPECT_EQ(tooLongNotes, 1) << "the over-long name is reported once per run and never opened";
}

// A time course whose volumes are missing ends the step without touching a
// map and without moving stepCount.
TEST_F(Robustness, MissingTimeCourseRefusesTheStepUntouched) {
    giveRun(2, 1, 1, 3, 500);
    ASSERT_TRUE(plugin.executePreRun());
    ASSERT_TRUE(plugin.executePreStep());
    const std::vector<float> mapsBefore = host.maps;
    host.timeCourse[0] = nullptr;
    EXPECT_FALSE(plugin.executePostStep());
    EXPECT_EQ(plugin.stepCount, 0);
    EXPECT_EQ(host.maps, mapsBefore);
    host.timeCourse.clear();
    EXPECT_FALSE(plugin.executePostStep());
    EXPECT_EQ(plugin.stepCount, 0);
}

}  // namespace
