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

int16_t fill(int index) { return static_cast<int16_t>(400 + 25 * index); }  // every voxel of volume `index`

// Notes each call with what the host shows it then, writes its step's
// number into the first map entry and refuses the step it is told to.
class ScriptedPlugin final : public KRVPluginInterface {
public:
    bool initPlugin() override { return true; }
    bool executePreRun() override { return note("pre-run"); }
    bool executePreStep() override { return note("pre-step"); }
    bool executePostStep() override {
        host().pluginMaps[0] = static_cast<float>(++steps);
        const auto& course = host().timeCourse;
        note("post-step of " + std::to_string(course.size()) + ", last " + std::to_string(course.back()[0]));
        return steps != refusedStep;
    }
    bool executePostRun() override { return note("post-run"); }

    std::vector<std::string> calls;
    int steps = 0, refusedStep = -1;

private:
    bool note(const std::string& call) {
        calls.push_back(call);
        return true;
    }
};

// Hands over its script's volumes, then ends; a step may fail instead, or
// ask for a stop as its volume is handed over or while it is awaited.
// Each volume's motion: 0.1 mm along x a volume, volume 1's doubtful.
class ScriptedSource final : public korvanth::VolumeSource, public korvanth::MotionSource {
public:
    enum class Step { Volume, Failure, StopWithVolume, StopWhileWaiting };
    explicit ScriptedSource(std::vector<Step> script) : script_(std::move(script)) {}

    bool open(korvanth::SeriesInfo&, std::string&) override { return true; }
    Next next(std::vector<int16_t>& volume, std::string& error) override {
        ++asked;
        if (handed_ == script_.size()) return Next::EndOfRun;
        const Step step = script_[handed_];
        if (step == Step::Failure) {
            error = "volume " + std::to_string(handed_ + 1) + " is missing";
            return Next::Failed;
        }
        if (step != Step::Volume) korvanth::requestRunStop();
        if (step == Step::StopWhileWaiting) return Next::EndOfRun;
        volume.assign(4 * 3 * 2, fill(static_cast<int>(handed_++)));
        return Next::Volume;
    }

    bool begin(const korvanth::SeriesInfo&, std::string&) override { return true; }
    korvanth::MotionResult estimate(int32_t index, const int16_t* const* timeCourse) override {
        estimatedVolumes.push_back(timeCourse[index][0]);
        korvanth::MotionResult result;
        result.estimate[0] = 0.1 * index;
        result.reliable = index != 1;
        if (index == 1) result.warning = "fit doubtful";
        return result;
    }

    int asked = 0;
    std::vector<int16_t> estimatedVolumes;  // the first voxel of the volume each estimate was for

private:
    std::vector<Step> script_;
    std::size_t handed_ = 0;
};
using Step = ScriptedSource::Step;

// Notes every event, each volume's with what it carried.
class Recorder final : public korvanth::RunObserver {
public:
    void runStarted(const korvanth::SeriesInfo&) override { events.push_back("started"); }
    void volumeDone(const korvanth::VolumeDone& d) override {
        events.push_back("volume " + std::to_string(d.index) + ": " + std::to_string(d.volume[0]) + ", map " +
                         std::to_string(d.maps[0]) + ", dx " + std::to_string(d.motion[0]) + ", FD " +
                         std::to_string(d.metrics.framewiseDisplacementMm) + ", mean " +
                         std::to_string(d.metrics.globalMean) + (d.motionReliable ? "" : ", " + d.motionWarning));
    }
    void runFinished(const korvanth::RunFinished& run) override {
        events.push_back("finished " + std::to_string(run.volumeCount) + (run.partial ? " partial: " : "") +
                         run.endReason + ", " + std::to_string(run.timings.size()) + " timings");
    }
    std::vector<std::string> events;
};

class RunLoop : public ::testing::Test {
protected:
    void SetUp() override {
        host() = korvanth::HostState{};
        korvanth::clearRunStopRequest();
        folder_ = fs::temp_directory_path() /
                  ("korvanth_run_loop_" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
        fs::create_directories(folder_);
        settings_.targetFolder = folder_.string() + "/";
        series_.dims[0] = 4, series_.dims[1] = 3, series_.dims[2] = 2;
    }
    void TearDown() override {
        korvanth::clearRunStopRequest();
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    // Runs `source` with two observers, each of which must see the same.
    korvanth::RunOutcome run(ScriptedSource& source) {
        korvanth::ObserverList observers;
        observers.add(first_);
        observers.add(second_);
        const korvanth::RunOutcome outcome = korvanth::driveRun(plugin_, series_, source, source, observers, settings_);
        EXPECT_EQ(first_.events, second_.events);
        return outcome;
    }
    // The plug-in's calls and the observers' events of a run of `volumes`
    // volumes ending as `end` says.
    void expectRun(int volumes, const std::string& end) const {
        std::vector<std::string> calls{"pre-run"}, events{"started"};
        for (int k = 0; k < volumes; ++k) {
            calls.insert(calls.end(),
                         {"pre-step", "post-step of " + std::to_string(k + 1) + ", last " + std::to_string(fill(k))});
            events.push_back("volume " + std::to_string(k) + ": " + std::to_string(fill(k)) + ", map " +
                             std::to_string(static_cast<float>(k + 1)) + ", dx " + std::to_string(0.1 * k) + ", FD " +
                             std::to_string(k == 0 ? 0.0 : 0.1) + ", mean " +
                             std::to_string(static_cast<double>(fill(k))) + (k == 1 ? ", fit doubtful" : ""));
        }
        calls.push_back("post-run");
        events.push_back("finished " + std::to_string(volumes) + end + ", " + std::to_string(volumes) + " timings");
        EXPECT_EQ(plugin_.calls, calls);
        EXPECT_EQ(first_.events, events);
    }

    fs::path folder_;
    korvanth::RunSettings settings_;
    korvanth::SeriesInfo series_;
    ScriptedPlugin plugin_;
    Recorder first_, second_;
};

// Each volume joins the time course before its motion estimate and the
// plug-in's step; the observers get it with that step's maps, its motion
// and its metrics; a refused step is counted and the run goes on; the
// motion log has a line from the second volume on.
TEST_F(RunLoop, VolumesReachMotionPluginAndObserversInOrder) {
    ScriptedSource source(std::vector<Step>(4, Step::Volume));
    plugin_.refusedStep = 3;
    const korvanth::RunOutcome outcome = run(source);
    EXPECT_EQ(outcome.volumeCount, 4);
    EXPECT_FALSE(outcome.partial);
    EXPECT_EQ(outcome.refusedSteps, 1);
    expectRun(4, "");
    EXPECT_EQ(source.estimatedVolumes, (std::vector<int16_t>{fill(0), fill(1), fill(2), fill(3)}));
    EXPECT_TRUE(outcome.motionLogWritten);
    std::ifstream log(outcome.motionLogPath);
    int lines = 0;
    for (std::string line; std::getline(log, line);) lines += line.rfind("Volume ", 0) == 0;
    EXPECT_EQ(lines, 3);
}

// A failing source ends the run with the volumes before it, says why, and
// is not asked again; a stop asked for while a volume is handed over ends
// the run after that volume, one asked for while the source waits ends it
// at once, and one asked for before the run lets no volume in. The plug-in
// still ends its run every time.
TEST_F(RunLoop, AFailureOrAStopEndsTheRunWithTheVolumesBeforeIt) {
    struct Case {
        std::vector<Step> script;
        int volumes, asked;
        std::string end;
    };
    for (const Case& c : {Case{{Step::Volume, Step::Volume, Step::Failure, Step::Volume}, 2, 3, "volume 3 is missing"},
                          Case{{Step::Volume, Step::StopWithVolume, Step::Volume}, 2, 2, "stopped on request"},
                          Case{{Step::Volume, Step::StopWhileWaiting, Step::Volume}, 1, 2, "stopped on request"},
                          Case{{}, 0, 0, "stopped on request"}}) {
        SCOPED_TRACE(std::to_string(c.volumes) + " volumes, then " + c.end);
        host() = korvanth::HostState{};
        plugin_ = ScriptedPlugin{};
        first_ = second_ = Recorder{};
        korvanth::clearRunStopRequest();
        if (c.script.empty()) korvanth::requestRunStop();
        ScriptedSource source(c.script);
        const korvanth::RunOutcome outcome = run(source);
        EXPECT_EQ(outcome.volumeCount, c.volumes);
        EXPECT_TRUE(outcome.partial);
        EXPECT_EQ(outcome.endReason, c.end);
        EXPECT_EQ(source.asked, c.asked);
        EXPECT_EQ(host().volumes.size(), static_cast<std::size_t>(c.volumes));
        expectRun(c.volumes, " partial: " + c.end);
    }
}

}  // namespace
