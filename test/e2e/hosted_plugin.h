// End-to-end test support: this test program is itself a Korvanth host (it
// is named so and exports the host functions), loads the real plug-in
// library and drives it through runs, looking at the host's state directly.
#pragma once

#include "korvanth/host/host_faults.h"
#include "korvanth/host/host_state.h"
#include "korvanth/host/loaded_plugin.h"
#include "korvanth/run/motion_log_writer.h"
#include "plugin/qc/voxel_model.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace e2e {

namespace fs = std::filesystem;
using korvanth::host;
using korvanth::HostCall;

constexpr int kMaps = 8;

// A functional run: its volumes and one motion estimate per volume.
struct Scenario {
    int32_t dims[3] = {0, 0, 0};
    std::vector<std::vector<int16_t>> volumes;
    std::vector<korvanth::MotionEstimate> motion;

    int32_t voxelCount() const { return dims[0] * dims[1] * dims[2]; }
    bool masked(int32_t v) const { return volumes[0][v] > 100; }
};

// Random intensities, about a quarter of the voxels at or below the mask in
// the first volume (including the edge values 100, 101, 0 and a negative),
// masked voxels that later drop to or below the mask, unmasked voxels that
// later rise above it, and random motion in every line.
inline Scenario randomScenario(int32_t dimX, int32_t dimY, int32_t dimZ, int volumes, uint32_t seed) {
    Scenario s;
    s.dims[0] = dimX, s.dims[1] = dimY, s.dims[2] = dimZ;
    std::mt19937 random(seed);
    auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };
    const int32_t count = s.voxelCount();
    std::vector<int16_t> first(static_cast<std::size_t>(count));
    for (auto& value : first)
        value = static_cast<int16_t>(uniform(0, 3) == 0 ? uniform(-300, 100) : uniform(101, 3000));
    const int16_t edges[] = {100, 101, 0, -5, 1};
    for (int32_t v = 0; v < count && v < 5; ++v) first[v] = edges[v];
    s.volumes.push_back(first);
    std::normal_distribution<double> noise(0.0, 25.0);
    for (int t = 1; t < volumes; ++t) {
        std::vector<int16_t> volume(first);
        for (int32_t v = 0; v < count; ++v) {
            if (uniform(0, 19) == 0)
                volume[v] = static_cast<int16_t>(uniform(-200, 400));
            else
                volume[v] = static_cast<int16_t>(std::lround(first[v] + 0.5 * t + noise(random)));
        }
        s.volumes.push_back(volume);
    }
    std::uniform_real_distribution<double> motion(-3.0, 3.0);
    for (int t = 0; t < volumes; ++t) {
        korvanth::MotionEstimate estimate;
        for (double& value : estimate) value = motion(random);
        s.motion.push_back(estimate);
    }
    return s;
}

// The maps the plug-in must leave after `steps` volumes of `s`, computed by
// feeding voxel models directly: `block` is the host's map block before the
// run's first step.
inline std::vector<float> referenceMaps(const Scenario& s, int steps, std::vector<float> block) {
    const int32_t count = s.voxelCount();
    for (int32_t i = 0; i < 7 * count; ++i) block[i] = 0.0f;
    std::vector<tarvex::VoxelModel> models(static_cast<std::size_t>(count));
    for (int k = 0; k < steps; ++k) {
        std::vector<float> row(7, 0.0f);
        if (k >= 2)
            for (int i = 0; i < 6; ++i)
                row[i] = std::strtof(korvanth::formatMotionValue(s.motion[k][i]).c_str(), nullptr);
        row[6] = 1.0f;
        for (int32_t v = 0; v < count; ++v) {
            if (!s.masked(v)) continue;
            const int16_t value = s.volumes[k][v];
            models[v].updateRegression(static_cast<float>(value), row);
            models[v].updateSignalStatistics(static_cast<double>(value));
            for (int j = 0; j < 6; ++j) block[v + j * count] = static_cast<float>(models[v].tValue(j));
            block[v + 6 * count] = static_cast<float>(models[v].tValue(6) / 100.0);
            block[v + 7 * count] = static_cast<float>(models[v].scaledTsnr);
        }
    }
    return block;
}

inline bool sameFloat(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

// Compares two map blocks entry by entry, bit for bit (any NaN equals any NaN).
inline ::testing::AssertionResult sameMaps(const std::vector<float>& actual, const std::vector<float>& expected) {
    if (actual.size() != expected.size())
        return ::testing::AssertionFailure() << "block sizes " << actual.size() << " and " << expected.size();
    const std::size_t count = actual.size() / kMaps;
    int mismatches = 0;
    auto failure = ::testing::AssertionFailure();
    for (std::size_t i = 0; i < actual.size(); ++i) {
        if (sameFloat(actual[i], expected[i])) continue;
        if (++mismatches <= 5)
            failure << "map " << i / count << " voxel " << i % count << ": " << actual[i] << " instead of "
                    << expected[i] << "; ";
    }
    if (mismatches == 0) return ::testing::AssertionSuccess();
    return failure << mismatches << " entries differ";
}

class HostedPlugin : public ::testing::Test {
protected:
    void SetUp() override {
        host() = korvanth::HostState{};
        korvanth::hostFaults() = korvanth::HostFaults{};
        host().programPath = "/opt/korvanth/";
        host().pluginsPath = "/opt/korvanth/plugins";
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        folder_ =
            fs::temp_directory_path() / (std::string("korvanth_e2e_") + info->test_suite_name() + "_" + info->name());
        fs::remove_all(folder_);
        fs::create_directories(folder_);
        std::string error;
        session_ = korvanth::LoadedPlugin::open(TARVEX_PLUGIN_PATH, error);
        ASSERT_TRUE(session_) << error;
        ASSERT_TRUE(plugin().initPlugin());
    }
    void TearDown() override {
        motionLog_.reset();
        session_.reset();  // destroys the plug-in object, then unloads the library
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    KRVPluginInterface& plugin() { return session_->plugin(); }
    std::string targetFolder() const { return (folder_ / "").string(); }

    // Starts a run of `s` in the host: sizes the map block, fills map m of
    // voxel v with a recognisable value, creates the motion log (all lines at
    // once with `wholeMotionLog`, otherwise one per acquired volume) and,
    // with `preRun`, calls executePreRun.
    void beginRun(const Scenario& s, bool preRun = true, bool wholeMotionLog = false) {
        scenario_ = s;
        acquired_ = 0;
        wholeMotionLog_ = wholeMotionLog;
        host().targetFolder = targetFolder();
        host().beginRun(s.dims[0], s.dims[1], s.dims[2], static_cast<int32_t>(s.volumes.size()));
        host().pluginMaps.assign(static_cast<std::size_t>(kMaps) * s.voxelCount(), 0.0f);
        for (std::size_t i = 0; i < host().pluginMaps.size(); ++i)
            host().pluginMaps[i] = 1000.0f + static_cast<float>(i);
        motionLog_.reset();
        motionLog_ = std::make_unique<korvanth::MotionLogWriter>(targetFolder(), host().projectName);
        ASSERT_TRUE(motionLog_->isOpen());
        if (wholeMotionLog)
            for (int t = 1; t < static_cast<int>(s.volumes.size()); ++t) motionLog_->append(t, s.motion[t]);
        if (preRun) {
            ASSERT_TRUE(plugin().executePreRun());
        }
    }

    // Acquires the next volume and runs its executePreStep and
    // executePostStep; returns the latter's result.
    bool step() {
        const int t = acquired_++;
        host().appendVolume(scenario_.volumes[t]);
        if (t >= 1 && !wholeMotionLog_) motionLog_->append(t, scenario_.motion[t]);
        EXPECT_TRUE(plugin().executePreStep()) << "volume " << t;
        return plugin().executePostStep();
    }

    void steps(int count) {
        for (int i = 0; i < count; ++i) ASSERT_TRUE(step()) << "volume " << acquired_ - 1;
    }

    void endRun() { ASSERT_TRUE(plugin().executePostRun()); }

    std::vector<float> initialBlock() const {
        std::vector<float> block(static_cast<std::size_t>(kMaps) * scenario_.voxelCount());
        for (std::size_t i = 0; i < block.size(); ++i) block[i] = 1000.0f + static_cast<float>(i);
        return block;
    }

    int countLogged(const std::string& line) const {
        int n = 0;
        for (const auto& logged : host().log) n += logged == line ? 1 : 0;
        return n;
    }

    fs::path folder_;
    std::unique_ptr<korvanth::LoadedPlugin> session_;
    std::unique_ptr<korvanth::MotionLogWriter> motionLog_;
    Scenario scenario_;
    int acquired_ = 0;
    bool wholeMotionLog_ = false;
};

}  // namespace e2e
