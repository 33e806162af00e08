// The real plug-in library in a real host process: the maps and the host
// calls of every step.
#include "hosted_plugin.h"

#include <limits>

namespace e2e {
namespace {

using QualityStep = HostedPlugin;

// The whole wiring at once: mask, volume index, map index, scaling and the
// predictor row, checked after every step of a 30-volume run against voxel
// models fed directly with the same inputs.
TEST_F(QualityStep, EveryMapValueMatchesModelsFedDirectly) {
    const Scenario s = randomScenario(6, 5, 4, 30, 2024);
    beginRun(s);
    for (int t = 0; t < 30; ++t) {
        ASSERT_TRUE(step());
        ASSERT_TRUE(sameMaps(host().pluginMaps, referenceMaps(s, t + 1, initialBlock()))) << "after volume " << t;
    }
    endRun();
}

TEST_F(QualityStep, FirstStepGivesNaNAndInfinityToMaskedVoxelsOnly) {
    const Scenario s = randomScenario(5, 4, 3, 6, 99);
    beginRun(s);
    const int32_t count = s.voxelCount();
    const std::vector<float> before = initialBlock();
    for (int t = 0; t < 6; ++t) {
        ASSERT_TRUE(step());
        const auto& maps = host().pluginMaps;
        for (int32_t v = 0; v < count; ++v) {
            SCOPED_TRACE("voxel " + std::to_string(v) + " first value " + std::to_string(s.volumes[0][v]));
            if (!s.masked(v)) {
                for (int m = 0; m < 7; ++m) EXPECT_EQ(maps[v + m * count], 0.0f) << "map " << m;
                EXPECT_EQ(maps[v + 7 * count], before[v + 7 * count]);
            } else if (t == 0) {
                for (int m = 0; m < 6; ++m) EXPECT_TRUE(std::isnan(maps[v + m * count])) << "map " << m;
                EXPECT_EQ(maps[v + 6 * count], std::numeric_limits<float>::infinity());
                EXPECT_EQ(maps[v + 7 * count], std::numeric_limits<float>::infinity());
            }
        }
    }
    // The scenario's edge voxels: 100, 101, 0, -5 at time point 0.
    EXPECT_FALSE(s.masked(0));
    EXPECT_TRUE(s.masked(1));
    EXPECT_FALSE(s.masked(2));
    EXPECT_FALSE(s.masked(3));
}

// A motion log that already holds every line: steps 0 and 1 still use zero
// motion, and the lines of later steps are taken by the step's own index.
TEST_F(QualityStep, MotionIsZeroAtStepsZeroAndOneEvenWithACompleteLog) {
    const Scenario s = randomScenario(4, 4, 2, 7, 31);
    beginRun(s, /*preRun=*/true, /*wholeMotionLog=*/true);
    steps(7);
    EXPECT_TRUE(sameMaps(host().pluginMaps, referenceMaps(s, 7, initialBlock())));
}

// Per step: one time-course query per unmasked voxel, three per masked voxel
// plus eight map queries, the target folder and project name once, the log
// only for the project line (step 1) and the motion log header (step 3).
TEST_F(QualityStep, HostCallsPerStep) {
    const Scenario s = randomScenario(5, 3, 3, 6, 8);
    int64_t masked = 0;
    for (int32_t v = 0; v < s.voxelCount(); ++v) masked += s.masked(v) ? 1 : 0;
    const int64_t unmasked = s.voxelCount() - masked;
    ASSERT_GT(masked, 0);
    ASSERT_GT(unmasked, 0);
    beginRun(s);
    ASSERT_TRUE(step());  // the first step also sizes the run
    for (int t = 1; t < 6; ++t) {
        host().calls = {};
        ASSERT_TRUE(step());
        std::array<int64_t, korvanth::hostCallCount> expected{};
        expected[static_cast<int>(HostCall::GetTimeCourseData)] = unmasked + 3 * masked;
        expected[static_cast<int>(HostCall::GetPluginMaps)] = 8 * masked;
        expected[static_cast<int>(HostCall::GetTargetFolder)] = 1;
        expected[static_cast<int>(HostCall::GetProjectName)] = 1;
        expected[static_cast<int>(HostCall::LogText)] = t == 1 ? 1 : t == 3 ? 3 : 0;
        for (int call = 0; call < korvanth::hostCallCount; ++call)
            EXPECT_EQ(host().calls[call], expected[call]) << korvanth::hostCallNames[call] << " at step " << t;
    }
}

TEST_F(QualityStep, ProjectLineAndMotionHeaderOncePerRun) {
    host().projectName = "e2e";
    for (int run = 0; run < 2; ++run) {
        beginRun(randomScenario(2, 2, 2, 5, 40 + run));
        const std::size_t runStart = host().log.size();
        steps(1);
        EXPECT_EQ(host().log.size(), runStart);
        steps(1);
        ASSERT_EQ(host().log.size(), runStart + 1);
        EXPECT_EQ(host().log.back(), "Processing project: e2e");
        steps(3);
        endRun();
        const std::vector<std::string> rest(host().log.begin() + static_cast<std::ptrdiff_t>(runStart) + 1,
                                            host().log.end());
        EXPECT_EQ(rest, (std::vector<std::string>{"Korvanth 3D motion correction log", "Project: e2e",
                                                  "Per volume: dx dy dz (mm), rx ry rz (degrees), relative to "
                                                  "volume 1",
                                                  " ", "Plugin completed processing."}));
    }
    EXPECT_EQ(countLogged("Processing project: e2e"), 2);
}

TEST_F(QualityStep, RunsOfDifferentSizesOnOneObjectStartAfresh) {
    const Scenario runs[] = {randomScenario(4, 3, 2, 9, 1), randomScenario(2, 5, 3, 6, 2),
                             randomScenario(4, 3, 2, 12, 3)};
    for (const Scenario& s : runs) {
        beginRun(s);
        steps(static_cast<int>(s.volumes.size()));
        endRun();
        EXPECT_TRUE(sameMaps(host().pluginMaps, referenceMaps(s, static_cast<int>(s.volumes.size()), initialBlock())));
    }
}

// A host that hands out no time course or no map block: the step returns
// false and changes nothing, the step counter stays, so the next good step
// processes the same volume, and the fault is logged once per run. Steps 1
// and 3 are refused here, so a repeated step must not log its project line or
// the motion log header again.
TEST_F(QualityStep, MissingHostDataLeavesTheStepUndone) {
    auto linesSince = [](std::size_t from, const std::string& part) {
        int n = 0;
        for (std::size_t i = from; i < host().log.size(); ++i) n += host().log[i].find(part) != std::string::npos;
        return n;
    };
    korvanth::HostFaults& faults = korvanth::hostFaults();
    for (bool* fault : {&faults.answerNullTimeCourse, &faults.answerNullPluginMaps}) {
        SCOPED_TRACE(fault == &faults.answerNullTimeCourse ? "no time course" : "no map block");
        const Scenario s = randomScenario(3, 4, 2, 8, 77);
        beginRun(s);
        const std::size_t runStart = host().log.size();
        steps(1);
        int refused = 0;
        for (int volume : {1, 3}) {
            if (volume == 3) steps(1);
            const std::vector<float> mapsBefore = host().pluginMaps;
            *fault = true;
            EXPECT_FALSE(step()) << "volume " << volume;
            EXPECT_FALSE(plugin().executePostStep());
            EXPECT_FALSE(plugin().executePostStep());
            refused += 3;
            *fault = false;
            EXPECT_TRUE(sameMaps(host().pluginMaps, mapsBefore));
            ASSERT_TRUE(plugin().executePostStep());  // the same volume again, now with data
        }
        steps(4);
        EXPECT_TRUE(sameMaps(host().pluginMaps, referenceMaps(s, 8, initialBlock())));
        EXPECT_EQ(linesSince(runStart, "Host returned no"), 1);
        EXPECT_EQ(linesSince(runStart, "Processing project: synthetic"), 1);
        EXPECT_EQ(linesSince(runStart, "Korvanth 3D motion correction log"), 1);
        endRun();
        // Only the first fault was logged; the end of the run counts the rest,
        // just before its closing lines.
        ASSERT_GE(host().log.size(), 3u);
        EXPECT_EQ(std::vector<std::string>(host().log.end() - 3, host().log.end()),
                  (std::vector<std::string>{
                      std::to_string(refused - 1) + " further input problem(s) of this run were not logged.", " ",
                      "Plugin completed processing."}));
        EXPECT_EQ(linesSince(runStart, "further input problem"), 1);
        // The next run logs its own faults again.
        beginRun(s);
        const std::size_t secondRun = host().log.size();
        steps(1);
        *fault = true;
        EXPECT_FALSE(step());
        *fault = false;
        EXPECT_EQ(linesSince(secondRun, "Host returned no"), 1);
        endRun();
        EXPECT_EQ(linesSince(secondRun, "further input problem"), 0);  // nothing was held back
    }
}

// A project name longer than the host's 601-byte answer: the host cuts it to
// 600 characters and the plug-in logs and uses exactly that.
TEST_F(QualityStep, LongProjectNameIsCutToTheAnswerBuffer) {
    const Scenario s = randomScenario(2, 2, 2, 4, 12);
    beginRun(s);
    host().projectName = std::string(700, 'q');
    steps(4);
    const std::string expected = "Processing project: " + std::string(600, 'q');
    EXPECT_EQ(countLogged(expected), 1);
    for (const std::string& line : host().log) EXPECT_LE(line.size(), 700u);
}

}  // namespace
}  // namespace e2e
