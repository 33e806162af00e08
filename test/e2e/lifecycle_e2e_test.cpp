// The real plug-in library in a real host process: binding, info exports and
// the run lifecycle as the host sees it.
#include "hosted_plugin.h"

#include "korvanth/platform/platform.h"
#include "tarvex/plugin_exports.h"
#include "tarvex/plugin_version.h"

namespace e2e {
namespace {

using Lifecycle = HostedPlugin;

std::vector<std::string> bannerLines() {
    return {"<b>Korvanth real-time quality control plugin</b>",
            "Note: tSNR values are devided by 30.",
            "",
            "Info - Path to KRV: /opt/korvanth/",
            "Info - Path to Plugins: /opt/korvanth/plugins",
            " ",
            "Plugin ready.",
            " "};
}

const std::vector<std::string> mapNames = {"Translation X", "Translation Y", "Translation Z", "Rotation X",
                                           "Rotation Y",    "Rotation Z",    "Constant",      "tSNR"};

// The host's own answer to a voxel query, as a plug-in calls it by name.
extern "C" int16_t tGetValueOfVoxelAtTime(int32_t x, int32_t y, int32_t z, int32_t timePoint);

// Voxel (x, y, z) of a volume is at x + dimX * (y + dimY * z); anything
// outside the volumes acquired so far is 0.
TEST(HostAnswers, ValueOfVoxelAtTimeIndexesXFastestThenYThenZ) {
    host() = korvanth::HostState{};
    const int32_t dims[3] = {3, 4, 5};
    host().beginRun(dims[0], dims[1], dims[2], 2);
    for (int16_t t = 0; t < 2; ++t) {
        std::vector<int16_t> volume(60);
        for (int16_t i = 0; i < 60; ++i) volume[static_cast<std::size_t>(i)] = static_cast<int16_t>(1000 * (t + 1) + i);
        host().appendVolume(volume);
    }
    for (int32_t t = 0; t < 2; ++t)
        for (int32_t z = 0; z < dims[2]; ++z)
            for (int32_t y = 0; y < dims[1]; ++y)
                for (int32_t x = 0; x < dims[0]; ++x)
                    ASSERT_EQ(tGetValueOfVoxelAtTime(x, y, z, t), 1000 * (t + 1) + x + 3 * (y + 4 * z))
                        << x << ' ' << y << ' ' << z << ' ' << t;
    for (const auto& outside :
         {std::array<int32_t, 4>{3, 0, 0, 0}, {0, 4, 0, 0}, {0, 0, 5, 0}, {0, 0, 0, 2}, {-1, 0, 0, 0}, {0, 0, 0, -1}})
        EXPECT_EQ(tGetValueOfVoxelAtTime(outside[0], outside[1], outside[2], outside[3]), 0);
}

TEST_F(Lifecycle, InfoExportsGiveTheirTexts) {
    const korvanth::PluginInfo& info = session_->info();
    EXPECT_EQ(info.name, "Tarvex: real-time Quality Control Plugin");
    EXPECT_EQ(info.description,
              "This simple plugin shows how to access KRV data for custom processing at each time step during "
              "real-time processing. Use its source code to get started with writing your own plugins.<br>");
    EXPECT_EQ(info.author, "<i>Tarvex QC team</i>, Tarvex");
    EXPECT_EQ(info.version, tarvex::pluginVersion);
    // The session turns a null text into "", so the help file is read here.
    korvanth::PluginLibrary library(TARVEX_PLUGIN_PATH);
    const auto helpFile = reinterpret_cast<pluginText_fn>(library.function("getHelpFile"));
    ASSERT_NE(helpFile, nullptr);
    ASSERT_NE(helpFile(), nullptr);
    EXPECT_STREQ(helpFile(), "");
}

// The plug-in's calls arrive in this process's exported functions: the table
// holds the host's own addresses.
TEST_F(Lifecycle, BoundPluginCallsTheHostsOwnFunctions) {
    EXPECT_EQ(host().callsTo(HostCall::GetVersionOfKRV), 1);
    ASSERT_TRUE(plugin().executePreRun());
    EXPECT_EQ(host().callsTo(HostCall::LogText), 8);
    EXPECT_EQ(host().callsTo(HostCall::GetKRVPath), 1);
    EXPECT_EQ(host().callsTo(HostCall::GetPluginsPath), 1);
    EXPECT_EQ(host().callsTo(HostCall::RegisterMaps), 1);
    // Binding again asks the version again and gives the same answer.
    EXPECT_TRUE(plugin().initPlugin());
    EXPECT_EQ(host().callsTo(HostCall::GetVersionOfKRV), 2);
}

TEST_F(Lifecycle, HostVersionDecidesInitPlugin) {
    const struct {
        korvanth::HostVersion version;
        bool accepted;
    } cases[] = {{{2, 99, 99}, false}, {{3, 0, 0}, true}, {{3, 0, -1}, false}, {{4, -2, -2}, true}};
    for (const auto& c : cases) {
        host().version = c.version;
        EXPECT_EQ(plugin().initPlugin(), c.accepted)
            << c.version.major << '.' << c.version.minor << '.' << c.version.subMinor;
    }
    EXPECT_TRUE(host().log.empty());  // refusing logs nothing
}

TEST_F(Lifecycle, PreRunLogsTheBannerAndRegistersEightNamedMaps) {
    ASSERT_TRUE(plugin().executePreRun());
    EXPECT_EQ(host().log, bannerLines());
    EXPECT_EQ(host().registerCalls, 1);
    EXPECT_EQ(host().registeredMapCount, 8);
    EXPECT_EQ(host().mapNames, mapNames);
    EXPECT_TRUE(host().pluginMapsShown);
    EXPECT_EQ(host().mapListUpdates, 1);
    // Display statuses and map contents are the first step's business.
    EXPECT_EQ(host().mapDisplayStatus, std::vector<int32_t>(8, -1));
    EXPECT_EQ(host().callsTo(HostCall::GetPluginMaps), 0);
}

TEST_F(Lifecycle, FirstPreStepShowsMapZeroOnlyAndResetsTheRegressionMaps) {
    beginRun(randomScenario(3, 2, 2, 3, 7));
    host().appendVolume(scenario_.volumes[0]);
    ASSERT_TRUE(plugin().executePreStep());
    EXPECT_EQ(host().mapDisplayStatus, (std::vector<int32_t>{1, 0, 0, 0, 0, 0, 0, -1}));
    const int32_t count = scenario_.voxelCount();
    std::vector<float> expected = initialBlock();
    for (int32_t i = 0; i < 7 * count; ++i) expected[i] = 0.0f;
    EXPECT_TRUE(sameMaps(host().pluginMaps, expected));
    EXPECT_EQ(host().callsTo(HostCall::GetDimsOfFunctionalData), 1);

    // Later pre-steps of the run ask nothing and change nothing.
    const auto callsBefore = host().calls;
    ASSERT_TRUE(plugin().executePostStep());
    host().pluginMaps.assign(host().pluginMaps.size(), 5.0f);
    const auto callsAfterPostStep = host().calls;
    ASSERT_TRUE(plugin().executePreStep());
    EXPECT_EQ(host().calls, callsAfterPostStep);
    EXPECT_NE(callsAfterPostStep, callsBefore);
    EXPECT_EQ(host().pluginMaps, std::vector<float>(host().pluginMaps.size(), 5.0f));
}

TEST_F(Lifecycle, RepeatedPreStepKeepsTheModelsHistory) {
    const Scenario s = randomScenario(4, 3, 2, 8, 11);
    beginRun(s);
    for (int t = 0; t < 8; ++t) {
        ASSERT_TRUE(step());
        ASSERT_TRUE(plugin().executePreStep());  // an extra one between volumes
    }
    endRun();
    EXPECT_TRUE(sameMaps(host().pluginMaps, referenceMaps(s, 8, initialBlock())));
}

// After executePostRun the next first step starts a new run from scratch
// even when the host skips executePreRun: new dimensions, fresh models,
// volume 0 of the new time course, the project line again at its step 1.
TEST_F(Lifecycle, PreStepAfterPostRunStartsAFreshRunWithoutPreRun) {
    beginRun(randomScenario(3, 3, 3, 6, 21));
    steps(6);
    endRun();
    const int projectLines = countLogged("Processing project: synthetic");
    ASSERT_EQ(projectLines, 1);

    const Scenario second = randomScenario(5, 2, 3, 5, 22);
    beginRun(second, /*preRun=*/false);
    steps(1);
    EXPECT_TRUE(sameMaps(host().pluginMaps, referenceMaps(second, 1, initialBlock())));
    steps(4);
    endRun();
    EXPECT_TRUE(sameMaps(host().pluginMaps, referenceMaps(second, 5, initialBlock())));
    EXPECT_EQ(countLogged("Processing project: synthetic"), 2);
    EXPECT_EQ(host().registerCalls, 1);
}

TEST_F(Lifecycle, SecondPreRunRepeatsBannerAndRegistration) {
    beginRun(randomScenario(2, 2, 2, 4, 3));
    steps(4);
    endRun();
    const std::size_t firstRunLines = host().log.size();
    ASSERT_TRUE(plugin().executePreRun());
    const std::vector<std::string> secondBanner(host().log.begin() + static_cast<std::ptrdiff_t>(firstRunLines),
                                                host().log.end());
    EXPECT_EQ(secondBanner, bannerLines());
    EXPECT_EQ(host().registerCalls, 2);
    EXPECT_EQ(host().mapNames, mapNames);
    EXPECT_EQ(host().mapListUpdates, 2);
    // The end of the first run was logged between the two banners.
    EXPECT_EQ(host().log[firstRunLines - 1], "Plugin completed processing.");
}

// Dimensions whose voxel count is not positive or whose eight maps cannot be
// indexed: the first step refuses with one log line, writes no map and sizes
// nothing; the run's steps do no voxel work, and a later first step with
// usable dimensions starts the run.
TEST_F(Lifecycle, UnusableDimensionsRefuseTheFirstStepOnce) {
    const int32_t cases[][3] = {
        {-2, 3, 4}, {0, 5, 5}, {4, 4, 0}, {-1, -1, 1}, {65536, 65536, 1}, {46341, 46341, 1}, {1024, 1024, 512},
    };
    for (const auto& dims : cases) {
        SCOPED_TRACE(std::to_string(dims[0]) + " x " + std::to_string(dims[1]) + " x " + std::to_string(dims[2]));
        ASSERT_TRUE(plugin().executePreRun());
        host().dims[0] = dims[0], host().dims[1] = dims[1], host().dims[2] = dims[2];
        host().pluginMaps.assign(64, 7.0f);
        host().calls = {};
        const std::size_t logBefore = host().log.size();
        EXPECT_FALSE(plugin().executePreStep());
        ASSERT_EQ(host().log.size(), logBefore + 1);
        const std::string dimsText =
            std::to_string(dims[0]) + " x " + std::to_string(dims[1]) + " x " + std::to_string(dims[2]);
        EXPECT_NE(host().log.back().find(dimsText), std::string::npos) << host().log.back();
        EXPECT_FALSE(plugin().executePreStep());
        EXPECT_TRUE(plugin().executePostStep());
        EXPECT_EQ(host().log.size(), logBefore + 1);
        EXPECT_EQ(host().callsTo(HostCall::GetPluginMaps), 0);
        EXPECT_EQ(host().callsTo(HostCall::GetTimeCourseData), 0);
        EXPECT_EQ(host().callsTo(HostCall::SetDisplayStatusOfMap), 0);
        EXPECT_EQ(host().pluginMaps, std::vector<float>(64, 7.0f));
        ASSERT_TRUE(plugin().executePostRun());
    }
    // Usable dimensions in a later first step of the same object.
    const Scenario s = randomScenario(2, 3, 2, 4, 5);
    beginRun(s, /*preRun=*/false);
    steps(4);
    EXPECT_TRUE(sameMaps(host().pluginMaps, referenceMaps(s, 4, initialBlock())));
}

// A first step that the host gives no map block cannot start the run. The
// last run's models must not live on: a following step of the same size
// would otherwise carry their statistics into the new run.
TEST_F(Lifecycle, MissingMapBlockAtTheFirstStepDropsTheLastRunsModels) {
    const Scenario s = randomScenario(3, 2, 2, 6, 31);
    beginRun(s);
    steps(3);
    endRun();

    beginRun(s, /*preRun=*/false);
    host().appendVolume(s.volumes[0]);
    korvanth::hostFaults().answerNullPluginMaps = true;
    EXPECT_FALSE(plugin().executePreStep());
    korvanth::hostFaults().answerNullPluginMaps = false;
    const std::vector<float> before = host().pluginMaps;
    host().calls = {};
    EXPECT_TRUE(plugin().executePostStep());  // no voxels: nothing to update
    EXPECT_EQ(host().callsTo(HostCall::GetTimeCourseData), 0);
    EXPECT_TRUE(sameMaps(host().pluginMaps, before));
}

}  // namespace
}  // namespace e2e
