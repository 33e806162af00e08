// The runs of a BIDS dataset as korvanth-bids finds them: which sidecar gives
// a run its TR, what a filter takes, and the figures' own arithmetic (the
// drift of the global signal, the quartiles the study's outliers are judged by).
#include "korvanth/app/bids_dataset.h"
#include "korvanth/app/run_figures.h"
#include "korvanth/run/statistics.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

void touch(const fs::path& path, const std::string& text = "") {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

class BidsDatasetTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = fs::temp_directory_path() /
               ("bids-dataset-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
        fs::remove_all(root);
        touch(root / "task-rest_bold.json", R"({"RepetitionTime": 3.0})");
        touch(root / "sub-01/func/sub-01_task-rest_run-01_bold.nii.gz");
        touch(root / "sub-01/func/sub-01_task-rest_run-02_bold.nii");
        touch(root / "sub-01/func/sub-01_task-rest_run-02_bold.json", R"({"RepetitionTime": 1.5})");
        // The more specific sidecar of one folder wins; one without a TR passes the question up.
        touch(root / "sub-01/func/sub-01_task-rest_bold.json", R"({"EchoTime": 0.03})");
        touch(root / "sub-01/func/sub-01_task-motor_bold.nii.gz");
        touch(root / "sub-01/ses-b/func/sub-01_ses-b_task-rest_bold.nii.gz");
        touch(root / "sub-01/ses-b/sub-01_ses-b_bold.json", R"({"RepetitionTime": 2.0})");
        touch(root / "sub-01/func/sub-01_task-rest_run-01_events.tsv");
    }
    void TearDown() override { fs::remove_all(root); }
    fs::path root;
};

TEST_F(BidsDatasetTest, TakesTheNearestSidecarsTrAndNamesARunWithout) {
    const auto runs = korvanth::findBidsRuns(root.string(), "01", {}, "");
    ASSERT_EQ(runs.size(), 4u);
    EXPECT_EQ(runs[0].folder, "sub-01/func/sub-01_task-motor_bold");
    EXPECT_FALSE(runs[0].repetitionTime);
    EXPECT_NE(runs[0].problem.find("no sidecar"), std::string::npos);
    EXPECT_EQ(*runs[1].repetitionTime, 3.0);  // the root's: the folder's sidecar has no TR
    EXPECT_EQ(*runs[2].repetitionTime, 1.5);  // its own sidecar
    EXPECT_EQ(runs[3].folder, "sub-01/ses-b/func/sub-01_ses-b_task-rest_bold");
    EXPECT_EQ(*runs[3].repetitionTime, 2.0);  // the session's, nearer than the root's
    EXPECT_EQ(runs[3].session, "b");
}

TEST_F(BidsDatasetTest, FiltersBySessionTaskAndRunNumber) {
    const fs::path filter = root / "filter.json";
    touch(filter, R"({"bold": {"task": ["rest"], "run": 2}})");
    korvanth::BidsSelection selection;
    std::string error;
    ASSERT_TRUE(korvanth::readBidsFilterFile(filter.string(), selection, error)) << error;
    const auto runs = korvanth::findBidsRuns(root.string(), "01", selection, "");
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].run, "02");
    selection = {};
    selection.sessions = {"b"};  // a session filter leaves out the runs of no session
    EXPECT_EQ(korvanth::findBidsRuns(root.string(), "01", selection, "").size(), 1u);
    touch(filter, R"({"bold": {"task": {}}})");
    EXPECT_FALSE(korvanth::readBidsFilterFile(filter.string(), selection, error));
    // fMRIPrep's confounds are required of every run once asked for.
    touch(root / "prep/sub-01/func/sub-01_task-rest_run-02_desc-confounds_timeseries.tsv");
    const auto prepped = korvanth::findBidsRuns(root.string(), "01", {}, (root / "prep").string());
    EXPECT_TRUE(prepped[1].problem.find("no confounds") != std::string::npos);
    EXPECT_TRUE(prepped[2].problem.empty() && !prepped[2].confoundsPath.empty());
}

TEST(RunFigures, DriftAndQuartiles) {
    EXPECT_NEAR(korvanth::driftPercent({100.0, 101.0, 102.0, 103.0, 104.0}), 4.0 / 102.0 * 100.0, 1e-12);
    EXPECT_NEAR(korvanth::driftPercent({100.0, NAN, 98.0}), -2.0 / 99.0 * 100.0, 1e-12);
    EXPECT_TRUE(std::isnan(korvanth::driftPercent({5.0})));
    EXPECT_EQ(korvanth::interpolatedQuantile({4.0, 1.0, 3.0, 2.0}, 0.25), 1.75);
    EXPECT_EQ(korvanth::interpolatedQuantile({4.0, 1.0, 3.0, 2.0}, 0.75), 3.25);
    EXPECT_EQ(korvanth::interpolatedQuantile({7.0}, 0.75), 7.0);
}

}  // namespace
