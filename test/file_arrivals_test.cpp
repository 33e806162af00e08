// When a file of a watched folder counts as complete, judged by the
// system's reports and by polling. Each look is asked for right after the
// change it is to see, or after at least the settle time, so no outcome
// depends on the machine's speed.
#include "korvanth/sources/watch/file_arrivals.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

namespace {

namespace fs = std::filesystem;
using korvanth::ArrivalDetection;

class FileArrivals : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        folder_ =
            fs::temp_directory_path() / ("korvanth_arrivals_" + std::string(info->name()) + "_" +
                                         std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
        fs::create_directories(folder_);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    void watch(ArrivalDetection detection, double settleSeconds) {
        arrivals_ = std::make_unique<korvanth::FileArrivals>(
            korvanth::ArrivalSettings{folder_.string(), detection, settleSeconds});
        std::string how, error;
        EXPECT_TRUE(arrivals_->open(how, error)) << error;
    }
    // Looks again after `seconds`; what it then says of `name`: "absent",
    // "incomplete" or "complete".
    std::string look(const std::string& name, double seconds = 0.0) {
        std::string error;
        EXPECT_TRUE(arrivals_->update(seconds, error)) << error;
        const auto found = arrivals_->files().find(name);
        if (found == arrivals_->files().end()) return "absent";
        return found->second.complete ? "complete" : "incomplete";
    }
    void append(const std::string& name, std::size_t bytes) {
        std::ofstream(folder_ / name, std::ios::binary | std::ios::app) << std::string(bytes, 'v');
    }

    fs::path folder_;
    std::unique_ptr<korvanth::FileArrivals> arrivals_;
};

// Reported: a file counts once closed after writing, however briefly it
// has been still, and not while a writer holds it open, however long; a file
// there before the watch, last written long ago, counts at once.
TEST_F(FileArrivals, ReportsCountAFileOnceClosedAfterWriting) {
    append("old.dcm", 100);
    fs::last_write_time(folder_ / "old.dcm", fs::file_time_type::clock::now() - std::chrono::seconds(60));
    watch(ArrivalDetection::Reports, 0.3);
    if (!arrivals_->usesReports()) GTEST_SKIP() << "no system reports on " << folder_;
    EXPECT_EQ(look("old.dcm"), "complete");
    {
        std::ofstream writer(folder_ / "new.dcm", std::ios::binary);
        writer << std::string(500, 'v') << std::flush;
        EXPECT_EQ(look("new.dcm"), "incomplete");
        EXPECT_EQ(look("new.dcm", 0.5), "incomplete");  // no report ends this wait: still longer than the settle time
        writer << std::string(500, 'v');
    }
    EXPECT_EQ(look("new.dcm"), "complete");
}

// Polled: a file still growing, or rewritten in place (the same size, a new
// modification time), is not complete; once unchanged for the settle time
// it is. An empty file never is. Hidden names are never listed.
TEST_F(FileArrivals, PollingCountsAFileOnceUnchangedForTheSettleTime) {
    watch(ArrivalDetection::Polling, 0.3);
    EXPECT_FALSE(arrivals_->usesReports());
    append("v.dcm", 100);
    EXPECT_EQ(look("v.dcm"), "incomplete");
    append("v.dcm", 100);
    EXPECT_EQ(look("v.dcm"), "incomplete");
    EXPECT_EQ(look("v.dcm", 0.3), "complete");
    fs::last_write_time(folder_ / "v.dcm", fs::last_write_time(folder_ / "v.dcm") + std::chrono::seconds(1));
    EXPECT_EQ(look("v.dcm"), "incomplete");
    EXPECT_EQ(look("v.dcm", 0.3), "complete");
    std::ofstream(folder_ / "empty.dcm").close();
    append(".v.dcm.part", 100);
    EXPECT_EQ(look("empty.dcm"), "incomplete");
    EXPECT_EQ(look("empty.dcm", 0.3), "incomplete");
    EXPECT_EQ(look(".v.dcm.part", 0.3), "absent");
}

// A file removed before it settled is forgotten: written again under its
// name, even with the same size and time, its settle time starts anew. A name forgotten on
// request is not listed again while its file stays, whatever is written to
// it; once a look found it gone, a file under that name is new.
TEST_F(FileArrivals, AFileRemovedBeforeItSettlesIsForgotten) {
    watch(ArrivalDetection::Polling, 0.3);
    append("v.dcm", 100);
    const fs::file_time_type written = fs::last_write_time(folder_ / "v.dcm");
    EXPECT_EQ(look("v.dcm"), "incomplete");
    fs::remove(folder_ / "v.dcm");
    EXPECT_EQ(look("v.dcm"), "absent");
    append("v.dcm", 100);  // the same file again, as far as its size and time tell
    fs::last_write_time(folder_ / "v.dcm", written);
    EXPECT_EQ(look("v.dcm", 0.3), "incomplete");
    EXPECT_EQ(look("v.dcm", 0.3), "complete");
    arrivals_->forget("v.dcm");
    fs::remove(folder_ / "v.dcm");
    append("v.dcm", 200);
    EXPECT_EQ(look("v.dcm", 0.3), "absent");
    fs::remove(folder_ / "v.dcm");
    EXPECT_EQ(look("v.dcm"), "absent");
    append("v.dcm", 300);  // once seen gone, the name is another file's (a cleared folder's names reused)
    EXPECT_NE(look("v.dcm", 0.3), "absent");
}

}  // namespace
