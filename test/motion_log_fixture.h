// A test's own target folder for a motion log, with the host log recorded:
// shared by the reader's and the host writer's tests.
#pragma once

#include "plugin/host_binding/host_function_table.h"
#include "plugin/qc/motion_log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

class MotionLogFolder : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        const auto tick = std::chrono::steady_clock::now().time_since_epoch().count();
        folder_ = std::filesystem::temp_directory_path() /
                  (std::string("tarvex_") + info->test_suite_name() + "_" + info->name() + "_" + std::to_string(tick));
        std::filesystem::create_directories(folder_);
        targetFolder_ = folder_.string() + "/";
        savedLogText_ = tarvex::hostFunctions().tLogText;
        tarvex::hostFunctions().tLogText = recordLogLine;
        loggedLines().clear();
    }
    void TearDown() override {
        tarvex::hostFunctions().tLogText = savedLogText_;
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    // The lines the reader passed to the host log since the test began.
    static std::vector<std::string>& loggedLines() {
        static std::vector<std::string> lines;
        return lines;
    }

    std::string logPath() const { return targetFolder_ + project_ + "_3DMC.log"; }
    tarvex::MotionLogReading read(int32_t step) const {
        return tarvex::readMotionParameters(targetFolder_.c_str(), project_.c_str(), step);
    }

    std::filesystem::path folder_;
    std::string targetFolder_;
    std::string project_ = "session";

private:
    static void recordLogLine(const char* line) { loggedLines().emplace_back(line); }
    ::tLogText_fn savedLogText_ = nullptr;
};
