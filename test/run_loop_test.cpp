// The run loop between a scripted plug-in, volume source and motion source:
// what reaches the plug-in and the observers, in which order, and how a run
// ends (its source's end, a failure, a stop request). No file is read and no
// plug-in loaded; the loop writes only its motion log.
#include "korvanth/run/run_loop.h"
#include "korvanth/host/host_state.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using korvanth::host;
using korvanth::VolumeSource;

// A plug-in that notes each call with what the host shows it then, writes
// its step's number into the first map entry and refuses the steps it is told to.
class ScriptedPlugin final : public KRVPluginInterface {
public:
    bool initPlugin() override { return true; }
    bool executePreRun() override { return note("pre-run"); }
    bool executePreStep() override { return note("pre-step"); }
    bool executePostStep() override {
        ++steps;
        if (!host().pluginMaps.empty()) host().pluginMaps[0] = static_cast<float>(steps);
        const auto& course = host().timeCourse;
        return note("post-step of " + std::to_string(course.size()) + ", last " + std::to_string(course.back()[0])) &&
               steps != refusedStep;
    }
    bool executePostRun() override { return note("post-run"); }

    std::vector<std::string> calls;
    int steps = 0;
    int refusedStep = -1;  // the post-step (from 1) that returns false

private:
    bool note(const std::string& call) {
        calls.push_back(call);
        return true;
    }
};

// Hands over its script's volumes (every voxel of volume k holds fill(k)),
// then ends; a step may fail instead, or ask for a stop as its volume is
// handed over or while it is awaited, as a signal would.
class ScriptedVolumes final : public VolumeSource {
public:
    enum class Step { Volume, Failure, StopWithVolume, StopWhileWaiting };
    static int16_t fill(int index) { return static_cast<int16_t>(400 + 25 * index); }

    explicit ScriptedVolumes(std::vector<Step> script) : script_(std::move(script)) {}
    bool open(korvanth::SeriesInfo&, std::string&) override { return true; }
    Next next(std::vector<int16_t>& volume, std::string& error) override {
        ++asked;
        if (handed_ == script_.size()) return Next::EndOfRun;
        const Step step = script_[handed_];
        if (step == Step::Failure) {
            error = "volume " + std::to_string(handed_ + 1) + " is missing";
            return Next::Failed;
        }
        if (step == Step::StopWhileWaiting) {
            korvanth::requestRunStop();
            return Next::EndOfRun;
        }
        volume.assign(voxels, fill(static_cast<int>(handed_++)));
        if (step == Step::StopWithVolume) korvanth::requestRunStop();
        return Next::Volume;
    }

    static constexpr std::size_t voxels = 4 * 3 * 2;
    int asked = 0;

private:
    std::vector<Step> script_;
    std::size_t handed_ = 0;
};

// Moves 0.1 mm along x a volume; volume 1's estimate is a doubtful one.
class ScriptedMotion final : public korvanth::MotionSource {
public:
    bool begin(const korvanth::SeriesInfo&, std::string&) override { return true; }
    korvanth::MotionResult estimate(int32_t index, const int16_t* const* timeCourse) override {
        seen.push_back(timeCourse[index][0]);
        korvanth::MotionResult result;
        result.estimate[0] = 0.1 * index;
        result.reliable = index != 1;
        if (index == 1) result.warning = "fit doubtful";
        return result;
    }
    std::vector<int16_t> seen;  // the first voxel of the volume each call was for
};

// Notes every event, with the figures of each volume the tests look at.
class Recorder final : public korvanth::RunObserver {
public:
    void runStarted(const korvanth::SeriesInfo&) override { events.push_back("started"); }
    void volumeDone(const korvanth::VolumeDone& done) override {
        events.push_back("volume " + std::to_string(done.index));
        volumes.push_back(done);
        volumes.back().mapNames = nullptr;  // pointers are valid for the call only
        firstVoxel.push_back(done.volume[0]);
        firstMapEntry.push_back(done.maps[0]);
    }
    void runFinished(const korvanth::RunFinished& run) override {
        events.push_back("finished " + std::to_string(run.volumeCount) + (run.partial ? " partial: " : "") +
                         run.endReason);
        timings = run.timings.size();
    }
    std::vector<std::string> events;
    std::vector<korvanth::VolumeDone> volumes;
    std::vector<int16_t> firstVoxel;
    std::vector<float> firstMapEntry;
    std::size_t timings = 0;
};

class RunLoop : public ::testing::Test {
protected:
    void SetUp() override {
        host() = korvanth::HostState{};
        korvanth::clearRunStopRequest();
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        folder_ =
            fs::temp_directory_path() / ("korvanth_run_loop_" + std::string(info->name()) + "_" +
                                         std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
        fs::create_directories(folder_);
        settings_.targetFolder = folder_.string() + "/";
        series_.dims[0] = 4, series_.dims[1] = 3, series_.dims[2] = 2;
    }
    void TearDown() override {
        korvanth::clearRunStopRequest();
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    korvanth::RunOutcome run(ScriptedVolumes& source) {
        korvanth::ObserverList observers;
        observers.add(first_);
        observers.add(second_);
        return korvanth::driveRun(plugin_, series_, source, motion_, observers, settings_);
    }
    int motionLogLines() const {
        std::ifstream log(folder_ / "synthetic_3DMC.log");
        int lines = 0;
        for (std::string line; std::getline(log, line);) lines += line.rfind("Volume ", 0) == 0;
        return lines;
    }
    // The plug-in's calls for a run of `volumes` volumes.
    static std::vector<std::string> callsOfRun(int volumes) {
        std::vector<std::string> calls{"pre-run"};
        for (int k = 0; k < volumes; ++k)
            calls.insert(calls.end(), {"pre-step", "post-step of " + std::to_string(k + 1) + ", last " +
                                                       std::to_string(ScriptedVolumes::fill(k))});
        calls.push_back("post-run");
        return calls;
    }
    // Each observer's events for a run of `volumes` volumes ending as `end` says.
    void expectObserved(int volumes, const std::string& end) const {
        std::vector<std::string> expected{"started"};
        for (int k = 0; k < volumes; ++k) expected.push_back("volume " + std::to_string(k));
        expected.push_back("finished " + std::to_string(volumes) + end);
        EXPECT_EQ(first_.events, expected);
        EXPECT_EQ(second_.events, expected);
        EXPECT_EQ(first_.timings, static_cast<std::size_t>(volumes));
    }

    fs::path folder_;
    korvanth::RunSettings settings_;
    korvanth::SeriesInfo series_;
    ScriptedPlugin plugin_;
    ScriptedMotion motion_;
    Recorder first_, second_;
};

using Step = ScriptedVolumes::Step;

// Each volume joins the time course before its motion estimate and the
// plug-in's step, and the observers get it with that step's maps, its
// motion and its metrics; a refused step is counted and the run goes on.
TEST_F(RunLoop, VolumesReachMotionPluginAndObserversInOrder) {
    ScriptedVolumes source(std::vector<Step>(4, Step::Volume));
    plugin_.refusedStep = 3;
    const korvanth::RunOutcome outcome = run(source);
    EXPECT_EQ(outcome.volumeCount, 4);
    EXPECT_FALSE(outcome.partial);
    EXPECT_EQ(outcome.endReason, "");
    EXPECT_EQ(outcome.refusedSteps, 1);
    EXPECT_TRUE(outcome.motionLogWritten);
    EXPECT_EQ(plugin_.calls, callsOfRun(4));
    expectObserved(4, "");
    EXPECT_EQ(motionLogLines(), 3);  // from the second volume on

    const std::vector<int16_t> fills{ScriptedVolumes::fill(0), ScriptedVolumes::fill(1), ScriptedVolumes::fill(2),
                                     ScriptedVolumes::fill(3)};
    EXPECT_EQ(motion_.seen, fills);
    EXPECT_EQ(first_.firstVoxel, fills);
    EXPECT_EQ(first_.firstMapEntry, (std::vector<float>{1, 2, 3, 4}));
    ASSERT_EQ(first_.volumes.size(), 4u);
    for (int k = 0; k < 4; ++k) {
        const korvanth::VolumeDone& done = first_.volumes[static_cast<std::size_t>(k)];
        EXPECT_DOUBLE_EQ(done.motion[0], 0.1 * k);
        EXPECT_EQ(done.motionReliable, k != 1);
        EXPECT_EQ(done.motionWarning, k == 1 ? "fit doubtful" : "");
        EXPECT_DOUBLE_EQ(done.metrics.globalMean, ScriptedVolumes::fill(k));
        EXPECT_NEAR(done.metrics.framewiseDisplacementMm, k == 0 ? 0.0 : 0.1, 1e-12);
    }
}

// A failing source ends the run with the volumes before it, says why, and
// is not asked again; the plug-in still ends its run.
TEST_F(RunLoop, ASourceFailureEndsTheRunWithTheVolumesBeforeIt) {
    ScriptedVolumes source({Step::Volume, Step::Volume, Step::Failure, Step::Volume});
    const korvanth::RunOutcome outcome = run(source);
    EXPECT_EQ(outcome.volumeCount, 2);
    EXPECT_TRUE(outcome.partial);
    EXPECT_EQ(outcome.endReason, "volume 3 is missing");
    EXPECT_EQ(source.asked, 3);
    EXPECT_EQ(plugin_.calls, callsOfRun(2));
    expectObserved(2, " partial: volume 3 is missing");
    ASSERT_EQ(host().volumes.size(), 2u);
    EXPECT_EQ(host().volumes[1], std::vector<int16_t>(ScriptedVolumes::voxels, ScriptedVolumes::fill(1)));
}

// A stop asked for while a volume is handed over ends the run after that
// volume; one asked for while the source waits ends it at once; one asked
// for before the run lets no volume in. Each run says it was stopped.
TEST_F(RunLoop, AStopRequestEndsTheRunAfterTheVolumeInHand) {
    struct Case {
        std::vector<Step> script;
        int volumes;
        int asked;
    };
    for (const Case& c : {Case{{Step::Volume, Step::StopWithVolume, Step::Volume}, 2, 2},
                          Case{{Step::Volume, Step::StopWhileWaiting, Step::Volume}, 1, 2}, Case{{}, 0, 0}}) {
        SCOPED_TRACE(std::to_string(c.volumes) + " volumes before the stop");
        host() = korvanth::HostState{};
        plugin_ = ScriptedPlugin{};
        first_ = second_ = Recorder{};
        korvanth::clearRunStopRequest();
        if (c.script.empty()) korvanth::requestRunStop();
        ScriptedVolumes source(c.script);
        const korvanth::RunOutcome outcome = run(source);
        EXPECT_EQ(outcome.volumeCount, c.volumes);
        EXPECT_TRUE(outcome.partial);
        EXPECT_EQ(outcome.endReason, "stopped on request");
        EXPECT_EQ(source.asked, c.asked);
        EXPECT_EQ(plugin_.calls, callsOfRun(c.volumes));
        expectObserved(c.volumes, " partial: stopped on request");
    }
}

}  // namespace
