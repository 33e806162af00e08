// The folder watcher on folders whose content the test fixes before the run
// (--include-existing), built from the shared Siemens DICOM: which volumes it
// hands over, in which order, and how it ends. Its waits end on its own
// timeouts, so no outcome depends on the machine's speed.
#include <gtest/gtest.h>

#include "korvanth/sources/dicom_volume.h"
#include "korvanth/sources/watch_folder.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using korvanth::VolumeSource;

const fs::path dicomDir = fs::path(TARVEX_SHARED_DATA_DIR) / "dicom";
const fs::path exportDir = dicomDir / "siemens_realtime_export";
const fs::path mosaicDir = dicomDir / "siemens_mosaic_ep2d";

class WatchFolder : public ::testing::Test {
protected:
    void SetUp() override {
        for (const fs::path& needed : {exportDir, mosaicDir})
            if (!fs::exists(needed)) GTEST_SKIP() << "shared data missing: " << needed;
        std::random_device random;
        folder_ = fs::temp_directory_path() / ("korvanth_watch_" + std::to_string(random() % 100000000u));
        fs::create_directories(folder_);
        settings_.folder = folder_.string();
        settings_.includeExisting = true;
        settings_.idleTimeoutSeconds = 1.0;
        settings_.unreadableSeconds = 0.5;
        settings_.gapSeconds = 0.5;
        settings_.log = [this](const std::string& line) { log_ += line + "\n"; };
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    // Copies `from` into the folder as `name`, `age` seconds old.
    fs::path place(const fs::path& from, const std::string& name, int age) {
        const fs::path to = folder_ / name;
        fs::copy_file(from, to, fs::copy_options::overwrite_existing);
        fs::last_write_time(to, fs::file_time_type::clock::now() - std::chrono::seconds(age));
        return to;
    }

    static std::vector<int16_t> voxelsOf(const fs::path& file) {
        korvanth::DicomVolume volume;
        std::string error;
        EXPECT_TRUE(korvanth::readDicomVolume(file.string(), volume, error)) << error;
        return volume.voxels;
    }

    struct Run {
        std::vector<std::vector<int16_t>> volumes;
        VolumeSource::Next end = VolumeSource::Next::Volume;
        std::string error;
    };
    // Opens the source and takes volumes until it ends.
    Run run(korvanth::WatchFolderSource& source) {
        Run r;
        korvanth::SeriesInfo series;
        if (!source.open(series, r.error)) {
            r.end = VolumeSource::Next::Failed;
            return r;
        }
        for (std::vector<int16_t> volume;;) {
            r.end = source.next(volume, r.error);
            if (r.end != VolumeSource::Next::Volume) break;
            EXPECT_EQ(static_cast<int64_t>(volume.size()), series.voxelCount());
            r.volumes.push_back(volume);
        }
        return r;
    }

    fs::path folder_;
    korvanth::WatchSettings settings_;
    std::string log_;
};

// Numbered by the export's names; each failure keeps the two volumes before
// it and names the file and the problem.
TEST_F(WatchFolder, TruncatedGapAndCorruptVolumesEndTheRunAfterTheVolumesBeforeThem) {
    const fs::path first = exportDir / "001_000013_000001.dcm", second = exportDir / "001_000013_000002.dcm",
                   third = exportDir / "001_000013_000003.dcm";
    struct Case {
        const char* what;
        std::string expected;  // in the error
    };
    for (const Case& c : {Case{"truncated", "001_000013_000003.dcm stays unreadable"},
                          Case{"gap", "volume 3 is missing: 001_000013_000004.dcm"},
                          Case{"corrupt", "001_000013_000003.dcm stays unreadable"}}) {
        SCOPED_TRACE(c.what);
        for (const auto& entry : fs::directory_iterator(folder_)) fs::remove(entry.path());
        place(first, "001_000013_000001.dcm", 30);
        place(second, "001_000013_000002.dcm", 20);
        const std::string what = c.what;
        if (what == "truncated") {
            const fs::path cut = place(third, "001_000013_000003.dcm", 10);
            fs::resize_file(cut, fs::file_size(third) / 2);
        } else if (what == "gap") {
            place(third, "001_000013_000004.dcm", 10);
        } else {
            // Random bytes of a volume file's size after a DICOM preamble:
            // DICOM by its content, read by GDCM itself.
            std::vector<char> noise(fs::file_size(third));
            std::mt19937 random(3);
            for (char& b : noise) b = static_cast<char>(random());
            std::ifstream(third, std::ios::binary).read(noise.data(), 132);
            std::ofstream(folder_ / "001_000013_000003.dcm", std::ios::binary)
                .write(noise.data(), static_cast<std::streamsize>(noise.size()));
        }
        korvanth::WatchFolderSource source(settings_);
        const Run r = run(source);
        ASSERT_EQ(r.end, VolumeSource::Next::Failed) << r.error;
        ASSERT_EQ(r.volumes.size(), 2u) << r.error;
        EXPECT_EQ(r.volumes[0], voxelsOf(first));
        EXPECT_EQ(r.volumes[1], voxelsOf(second));
        EXPECT_NE(r.error.find(c.expected), std::string::npos) << r.error;
        EXPECT_NE(r.error.find("the run ends with the 2 volumes before it"), std::string::npos) << r.error;
    }
}

// Another series by the export's names (an older series 14 beside 13) and, in
// a folder numbered by instance number, by its DICOM series UID: ignored, said
// so; the run's own volumes come in their numbers' order, whatever the order
// of their names or their writing; --volumes ends the run.
TEST_F(WatchFolder, FilesOfOtherSeriesAreIgnoredAndVolumesComeInNumberOrder) {
    place(exportDir / "001_000013_000001.dcm", "001_000014_000001.dcm", 60);
    place(exportDir / "001_000013_000002.dcm", "001_000013_000002.dcm", 20);
    place(exportDir / "001_000013_000001.dcm", "001_000013_000001.dcm", 30);
    place(exportDir / "001_000013_000003.dcm", "001_000013_000003.dcm", 10);
    {
        korvanth::WatchFolderSource source(settings_);
        const Run r = run(source);
        EXPECT_EQ(r.end, VolumeSource::Next::EndOfRun) << r.error;
        ASSERT_EQ(r.volumes.size(), 3u) << log_;
        for (int v = 0; v < 3; ++v)
            EXPECT_EQ(r.volumes[static_cast<std::size_t>(v)],
                      voxelsOf(exportDir / ("001_000013_00000" + std::to_string(v + 1) + ".dcm")));
        EXPECT_EQ(source.files(), (std::vector<std::string>{"001_000013_000001.dcm", "001_000013_000002.dcm",
                                                            "001_000013_000003.dcm"}));
        EXPECT_NE(log_.find("ignoring 001_000014_000001.dcm: series 14 by its name"), std::string::npos) << log_;
    }

    for (const auto& entry : fs::directory_iterator(folder_)) fs::remove(entry.path());
    log_.clear();
    // Instance numbers 1..6 under names that sort otherwise and tell nothing
    // (DICOM by its content: MR.<UID>, GE's iNN.MRDC.N, any extension); the
    // realtime export's files (another series UID) are older; a text file
    // beside them is no volume and ends nothing.
    const char* names[6] = {"b.dcm", "MR.1.3.12.2.1107", "i1.MRDC.7", "c.txt", "e.dcm", "d.dcm"};
    for (int v = 0; v < 6; ++v) place(mosaicDir / ("IM-0001-000" + std::to_string(v + 1) + ".dcm"), names[v], 10 - v);
    place(exportDir / "001_000013_000001.dcm", "z.dcm", 60);
    std::ofstream(folder_ / "notes.dcm") << "not a volume\n";
    settings_.volumeLimit = 4;
    korvanth::WatchFolderSource source(settings_);
    const Run r = run(source);
    EXPECT_EQ(r.end, VolumeSource::Next::EndOfRun) << r.error;
    ASSERT_EQ(r.volumes.size(), 4u) << log_;
    for (int v = 0; v < 4; ++v)
        EXPECT_EQ(r.volumes[static_cast<std::size_t>(v)],
                  voxelsOf(mosaicDir / ("IM-0001-000" + std::to_string(v + 1) + ".dcm")));
    EXPECT_EQ(source.files(), (std::vector<std::string>{"b.dcm", "MR.1.3.12.2.1107", "i1.MRDC.7", "c.txt"}));
    EXPECT_NE(log_.find("ignoring z.dcm: " + (folder_ / "z.dcm").string() + ": another series"), std::string::npos)
        << log_;
}

}  // namespace
