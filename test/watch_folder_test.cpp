// The folder watcher on folders whose content the test fixes before the run
// (--include-existing), built from the shared Siemens DICOM, or that a writer
// thread fills while it runs: which volumes it hands over, in which order, and
// how it ends. Its waits end on its own timeouts, and a writer thread pauses
// far shorter than the times the watcher allows (or, where it stands for a
// late file, far longer), so no outcome depends on the machine's speed.
#include <gtest/gtest.h>

#include "dicom_rewrite.h"
#include "korvanth/sources/dicom/dicom_volume.h"
#include "korvanth/sources/watch/watch_folder.h"
#include "shared_data.h"

#include "stray_nifti.h"

#include <nifti2_io.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <tuple>
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

    // Copies `from` into the folder as `name`, `age` seconds old, with the
    // string values `values` in place of its own.
    fs::path rewrite(const fs::path& from, const std::string& name, int age, const korvanth_test::DicomValues& values) {
        const fs::path to = folder_ / name;
        korvanth_test::rewriteDicom(from, to, values);
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

// Numbered by the export's names, or by instance number (IM-0001-*); each
// failure keeps the two volumes before it and names the file and the problem.
// A gap by instance number is found although the later volume, read ahead,
// waits for its turn, and when the idle timeout is shorter than the gap's
// bound; a file of the run's series on another grid, or a last volume short
// of a slice file, makes the run partial too, never complete at the idle
// timeout.
TEST_F(WatchFolder, TruncatedGapAndCorruptVolumesEndTheRunAfterTheVolumesBeforeThem) {
    const fs::path first = exportDir / "001_000013_000001.dcm", second = exportDir / "001_000013_000002.dcm",
                   third = exportDir / "001_000013_000003.dcm";
    REQUIRE_SHARED_FILES(first, second, third, mosaicDir / "IM-0001-0001.dcm", mosaicDir / "IM-0001-0002.dcm",
                         mosaicDir / "IM-0001-0004.dcm", dicomDir / "vendors" / "ge_epirt_slices" / "0095.dcm");
    struct Case {
        const char* what;
        std::string expected;  // in the error
    };
    for (const Case& c : {Case{"truncated", "001_000013_000003.dcm stays unreadable"},
                          Case{"gap", "volume 3 is missing: 001_000013_000004.dcm"},
                          Case{"corrupt", "001_000013_000003.dcm stays unreadable"},
                          Case{"gap by instance", "volume 3 is missing: d.dcm (volume 4)"},
                          Case{"gap, idle timeout shorter", "volume 3 is missing: d.dcm (volume 4)"},
                          Case{"another grid", "c.dcm: of the run's series, but on another grid"},
                          Case{"incomplete last volume", "volume 3 came with 31 of its 32 slices"}}) {
        SCOPED_TRACE(c.what);
        for (const auto& entry : fs::directory_iterator(folder_)) fs::remove(entry.path());
        const std::string what = c.what;
        if (what == "incomplete last volume") {
            const fs::path slices = dicomDir / "vendors" / "ge_epirt_slices";
            for (int i = 1; i < 96; ++i) {
                const std::string name = (i < 10 ? "000" : "00") + std::to_string(i) + ".dcm";
                if (fs::exists(slices / name)) place(slices / name, name, 10);
            }
            korvanth::WatchFolderSource source(settings_);
            const Run r = run(source);
            ASSERT_EQ(r.end, VolumeSource::Next::Failed) << log_;
            EXPECT_EQ(r.volumes.size(), 2u) << r.error;
            EXPECT_NE(r.error.find(c.expected), std::string::npos) << r.error;
            continue;
        }
        if (what != "truncated" && what != "gap" && what != "corrupt") {
            place(mosaicDir / "IM-0001-0001.dcm", "a.dcm", 30);
            place(mosaicDir / "IM-0001-0002.dcm", "b.dcm", 20);
            if (what == "another grid")
                rewrite(mosaicDir / "IM-0001-0004.dcm", "c.dcm", 10, {{gdcm::Tag(0x0028, 0x0030), "2.5\\2.5"}});
            else
                place(mosaicDir / "IM-0001-0004.dcm", "d.dcm", 10);
            korvanth::WatchSettings settings = settings_;
            if (what == "gap, idle timeout shorter") {
                settings.idleTimeoutSeconds = 0.3;
                settings.gapSeconds = 2.0;
            }
            korvanth::WatchFolderSource source(settings);
            const Run r = run(source);
            ASSERT_EQ(r.end, VolumeSource::Next::Failed) << log_;
            ASSERT_EQ(r.volumes.size(), 2u) << r.error;
            EXPECT_EQ(r.volumes[1], voxelsOf(mosaicDir / "IM-0001-0002.dcm"));
            EXPECT_NE(r.error.find(c.expected), std::string::npos) << r.error;
            continue;
        }
        place(first, "001_000013_000001.dcm", 30);
        place(second, "001_000013_000002.dcm", 20);
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
    REQUIRE_SHARED_FILES(exportDir / "001_000013_000001.dcm", exportDir / "001_000013_000002.dcm",
                         exportDir / "001_000013_000003.dcm", mosaicDir / "IM-0001-0001.dcm",
                         mosaicDir / "IM-0001-0002.dcm", mosaicDir / "IM-0001-0003.dcm", mosaicDir / "IM-0001-0004.dcm",
                         mosaicDir / "IM-0001-0005.dcm", mosaicDir / "IM-0001-0006.dcm");
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
    EXPECT_NE(log_.find("ignoring z.dcm: DICOM series 1.3.12.2.1107.5.2.43.67094."), std::string::npos) << log_;
    EXPECT_EQ(source.ledger().ignoredCounts().at(korvanth::ignoredBecause::anotherSeries), 1) << log_;
    // A file that is no image (a report), or of another series and without
    // pixel data, is skipped with its reason, the volumes after it still
    // come, and the run ends complete (they used to end it, or make it partial).
    for (const auto& entry : fs::directory_iterator(folder_)) fs::remove(entry.path());
    log_.clear();
    settings_.volumeLimit = 0;
    settings_.idleTimeoutSeconds = 4.0;
    place(mosaicDir / "IM-0001-0001.dcm", "a.dcm", 10);
    std::ofstream(folder_ / "report.dcm", std::ios::binary) << std::string(4096, 'r');
    const fs::path staged = folder_.string() + "_sr.dcm";
    {  // a DICOM object of another series with no pixel data
        gdcm::Reader reader;
        reader.SetFileName((mosaicDir / "IM-0001-0004.dcm").c_str());
        ASSERT_TRUE(reader.Read());
        reader.GetFile().GetDataSet().Remove(gdcm::Tag(0x7fe0, 0x0010));
        gdcm::Writer writer;
        writer.SetFile(reader.GetFile());
        writer.SetFileName(staged.c_str());
        ASSERT_TRUE(writer.Write());
        korvanth_test::rewriteDicom(staged, staged, {{gdcm::Tag(0x0020, 0x000e), "1.2.826.0.1.3680043.9.7.99"}});
    }
    std::thread later([&] {  // the next volumes once the report was judged
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        fs::copy_file(mosaicDir / "IM-0001-0002.dcm", folder_ / "b.dcm");
        fs::copy_file(mosaicDir / "IM-0001-0003.dcm", folder_ / "c.dcm");
        fs::rename(staged, folder_ / "sr.dcm");  // judged after the last volume
    });
    korvanth::WatchFolderSource withReport(settings_);
    const Run reported = run(withReport);
    later.join();
    EXPECT_EQ(reported.end, VolumeSource::Next::EndOfRun) << reported.error;
    EXPECT_EQ(reported.volumes.size(), 3u) << reported.error << log_;
    EXPECT_NE(log_.find("ignoring report.dcm: "), std::string::npos) << log_;
    EXPECT_NE(log_.find("ignoring sr.dcm: "), std::string::npos) << log_;
}

// Writers that are slow or never end, against both ways of judging a file
// complete (system reports, and polling with a settle time as on a network
// folder): a volume whose full size is set first and then filled slowly is
// taken only once filled; a volume file that never stops growing is skipped
// with a message and names the volume the run then lacks, instead of holding
// the run until it ended as complete without the volumes after it.
TEST_F(WatchFolder, SlowAndNeverEndingWritersCannotPassForCompleteVolumes) {
    REQUIRE_SHARED_FILES(exportDir / "001_000013_000001.dcm", exportDir / "001_000013_000002.dcm",
                         exportDir / "001_000013_000003.dcm");
    const auto bytesOf = [](const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    const std::string third = bytesOf(exportDir / "001_000013_000003.dcm");
    for (const auto detection : {korvanth::ArrivalDetection::Reports, korvanth::ArrivalDetection::Polling}) {
        const bool polling = detection == korvanth::ArrivalDetection::Polling;
        SCOPED_TRACE(polling ? "polling" : "system reports");
        for (const bool endless : {false, true}) {
            SCOPED_TRACE(endless ? "never ending" : "preallocated, filled slowly");
            for (const auto& entry : fs::directory_iterator(folder_)) fs::remove(entry.path());
            log_.clear();
            // Volume 4 is volume 1's file again (the export has three).
            for (int v : {1, 2, 4})
                place(exportDir / ("001_000013_00000" + std::to_string(v == 4 ? 1 : v) + ".dcm"),
                      "001_000013_00000" + std::to_string(v) + ".dcm", 40 - v);
            settings_.detection = detection;
            settings_.settleSeconds = 1.0;
            settings_.growingSeconds = endless ? 1.5 : 30.0;
            settings_.gapSeconds = endless ? 3.0 : 30.0;
            settings_.idleTimeoutSeconds = endless ? 6.0 : 3.0;  // the gap, not the idle timeout, ends it
            // Volume 3 as an SMB client writes it: the full size at once, then
            // the bytes in pieces, far more often than the settle time.
            std::atomic<bool> stop{false};
            std::thread writer([&] {
                std::ofstream out(folder_ / "001_000013_000003.dcm", std::ios::binary);
                fs::resize_file(folder_ / "001_000013_000003.dcm", third.size());
                const std::size_t pieces = 20;
                for (std::size_t piece = 0; !stop; ++piece) {
                    const std::size_t begin = third.size() * (piece % pieces) / pieces;
                    const std::size_t end = third.size() * (piece % pieces + 1) / pieces;
                    out.write(third.data() + begin, static_cast<std::streamsize>(end - begin)).flush();
                    if (piece + 1 == pieces && !endless) break;
                    if (endless && piece % pieces + 1 == pieces) out.seekp(0, std::ios::end);  // and grows on
                    std::this_thread::sleep_for(std::chrono::milliseconds(40));
                }
            });
            korvanth::WatchFolderSource source(settings_);
            const Run r = run(source);
            stop = true;
            writer.join();
            if (endless) {
                EXPECT_EQ(r.end, VolumeSource::Next::Failed) << log_;
                EXPECT_EQ(r.volumes.size(), 2u);
                EXPECT_NE(r.error.find("volume 3 is missing"), std::string::npos) << r.error;
                EXPECT_NE(r.error.find("001_000013_000003.dcm is still being written after 1.5 s"), std::string::npos)
                    << r.error;
                continue;
            }
            EXPECT_EQ(r.end, VolumeSource::Next::EndOfRun) << r.error << log_;
            ASSERT_EQ(r.volumes.size(), 4u) << r.error << log_;
            for (int v = 0; v < 4; ++v)
                EXPECT_EQ(r.volumes[static_cast<std::size_t>(v)],
                          voxelsOf(exportDir / ("001_000013_00000" + std::to_string(v == 3 ? 1 : v + 1) + ".dcm")))
                    << "volume " << v + 1;
        }
    }
}

// Files that land in the folder during the run: a hard and a symbolic link to
// a whole volume file are read like the files (a link is created without a
// write, and was judged "still being written" for ever), and a stray gzipped
// NIfTI file of a few dozen bytes whose header claims a 17 GB volume is
// refused from its length, naming it, with nothing of that size allocated;
// the run takes its volumes.
TEST_F(WatchFolder, LinksReadLikeTheirFilesAndAStrayHeaderCostsNothing) {
    const fs::path staging = folder_ / ".staging";  // hidden: never a volume
    fs::create_directories(staging);
    for (int v : {2, 3})
        fs::copy_file(exportDir / ("001_000013_00000" + std::to_string(v) + ".dcm"),
                      staging / (std::to_string(v) + ".dcm"));
    place(exportDir / "001_000013_000001.dcm", "001_000013_000001.dcm", 30);
    settings_.idleTimeoutSeconds = 3.0;
    std::thread arrivals([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        fs::create_hard_link(staging / "2.dcm", folder_ / "001_000013_000002.dcm");
        korvanth_test::writeStrayNiftiHeader(folder_ / "001_000013_000004.nii.gz");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        fs::create_symlink(staging / "3.dcm", folder_ / "001_000013_000003.dcm");
    });
    korvanth::WatchFolderSource source(settings_);
    const Run r = run(source);
    arrivals.join();
    EXPECT_LT(fs::file_size(folder_ / "001_000013_000004.nii.gz"), 100u);
    ASSERT_EQ(r.volumes.size(), 3u) << r.error << log_;
    for (int v = 0; v < 3; ++v)
        EXPECT_EQ(r.volumes[static_cast<std::size_t>(v)],
                  voxelsOf(exportDir / ("001_000013_00000" + std::to_string(v + 1) + ".dcm")));
    const std::string said = r.error + log_;
    EXPECT_NE(said.find("001_000013_000004.nii.gz"), std::string::npos) << said;
    EXPECT_NE(said.find("more than a gzip file of"), std::string::npos) << said;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    EXPECT_LT(usage.ru_maxrss, 1L << 20) << "kB at the most: the claimed volume was allocated";
}

// The scanner's export stalls once: a mosaic series acquired a second apart
// (AcquisitionDateTime and AcquisitionTime rewritten) written far faster,
// but volume 4 two and a half seconds late. Each volume's export lag is its
// files' last write against its acquisition, both from the first volume's
// (the clocks need not agree), volume 4 alone is warned of by number and
// name, and the lag's spread is the stall's.
TEST_F(WatchFolder, AVolumeTheExportHeldBackIsNamedAndTheLagsAreItsFilesAgainstTheScanner) {
    const gdcm::Tag acquisitionDateTime(0x0008, 0x002a), acquisitionTime(0x0008, 0x0032);
    const fs::path staging = folder_ / ".staging";  // hidden: never a volume
    fs::create_directories(staging);
    const auto name = [](int v) { return "IM-0001-000" + std::to_string(v) + ".dcm"; };
    for (int v = 1; v <= 6; ++v) {
        const std::string tm = "1030" + std::to_string(10 + v) + ".250000";  // one second apart
        korvanth_test::rewriteDicom(mosaicDir / name(v), staging / name(v),
                                    {{acquisitionDateTime, "20261208" + tm}, {acquisitionTime, tm}});
    }
    settings_.includeExisting = false;
    settings_.repetitionTimeSeconds = 1.0;
    settings_.idleTimeoutSeconds = 5.0;
    korvanth::WatchFolderSource source(settings_);
    std::thread scanner([&] {
        for (int v = 1; v <= 6; ++v) {
            std::this_thread::sleep_for(std::chrono::milliseconds(v == 4 ? 2800 : 300));
            fs::last_write_time(staging / name(v), fs::file_time_type::clock::now());  // written now
            fs::rename(staging / name(v), folder_ / name(v));
        }
    });
    korvanth::SeriesInfo series;
    std::string error;
    std::vector<korvanth::TimelinePoint> points;
    const bool opened = source.open(series, error);
    for (std::vector<int16_t> volume; opened && source.next(volume, error) == VolumeSource::Next::Volume;)
        points.push_back(source.lastArrival().timeline);
    scanner.join();
    ASSERT_EQ(points.size(), 6u) << error << log_;
    const auto written = [&](int v) { return fs::last_write_time(folder_ / name(v)); };
    for (int v = 1; v <= 6; ++v) {
        const korvanth::TimelinePoint& p = points[static_cast<std::size_t>(v - 1)];
        const double host = std::chrono::duration<double>(written(v) - written(1)).count();
        EXPECT_TRUE(p.timed) << v;
        EXPECT_NEAR(p.scanSeconds, v - 1.0, 1e-6) << v;
        EXPECT_NEAR(p.lagSeconds, host - (v - 1.0), 0.005) << v;
        EXPECT_EQ(p.late, v == 4) << v << ": lag " << p.lagSeconds;
    }
    const korvanth::TimelineSummary summary = korvanth::summariseTimeline(points);
    EXPECT_EQ(summary.lateVolumes, std::vector<int32_t>{4});
    EXPECT_NEAR(points[3].lateBySeconds, points[3].lagSeconds - points[2].lagSeconds, 1e-9);
    EXPECT_GT(points[3].lateBySeconds, 1.0);
    EXPECT_NE(log_.find("warning: volume 4 (" + name(4) + ") came "), std::string::npos) << log_;
    EXPECT_EQ(log_.find("warning: volume 5"), std::string::npos) << log_;
}

// One NIfTI volume file: `edit` changes the header (voxel size, orientation,
// data type) before it is written; int16 or float32 data from `values`.
template <typename Edit>
void writeNiftiVolume(const fs::path& path, const std::vector<float>& values, bool asFloat, Edit edit) {
    int64_t shape[8] = {3, 8, 8, 4, 1, 1, 1, 1};
    nifti_1_header* header = nifti_make_new_n1_header(shape, asFloat ? NIFTI_TYPE_FLOAT32 : NIFTI_TYPE_INT16);
    header->vox_offset = 352.0f;
    std::memcpy(header->magic, "n+1", 4);
    header->pixdim[1] = header->pixdim[2] = header->pixdim[3] = 3.0f;
    header->pixdim[4] = 1.5f;
    header->xyzt_units = NIFTI_UNITS_MM | NIFTI_UNITS_SEC;
    header->qform_code = NIFTI_XFORM_SCANNER_ANAT;
    header->pixdim[0] = 1.0f;
    edit(*header);
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(header), sizeof *header).write("\0\0\0\0", 4);
    std::free(header);
    for (float value : values) {
        const auto stored = static_cast<int16_t>(value);
        if (asFloat)
            out.write(reinterpret_cast<const char*>(&value), sizeof value);
        else
            out.write(reinterpret_cast<const char*>(&stored), sizeof stored);
    }
}

// A volume of the run with another voxel size, orientation or stored data
// type than its first is refused with a message, and the run ends with the
// volumes before it (the grid alone used to be compared; every type was
// converted to int16 alike); values clamped to 16 bits are said.
TEST_F(WatchFolder, AChangedVoxelSizeOrientationOrDataTypeIsRefusedAndClampingIsReported) {
    std::vector<float> values(8 * 8 * 4);
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<float>(100 + i % 17);
    std::vector<float> loud = values;
    loud[5] = 40000.0f;
    const auto same = [](nifti_1_header&) {};
    struct Case {
        std::string change, expected;
    };
    for (const Case& c : {Case{"voxel size", "voxels of 3x3x3.3 mm, the run's are 3x3x3 mm"},
                          Case{"orientation", "another orientation"},
                          Case{"data type", "values stored as INT16, the run's first volume's as FLOAT32"}}) {
        SCOPED_TRACE(c.change);
        for (const auto& entry : fs::directory_iterator(folder_)) fs::remove(entry.path());
        log_.clear();
        writeNiftiVolume(folder_ / "v1.nii", values, true, same);
        writeNiftiVolume(folder_ / "v2.nii", loud, true, same);
        writeNiftiVolume(folder_ / "v3.nii", values, c.change != "data type", [&](nifti_1_header& h) {
            if (c.change == "voxel size") h.pixdim[3] = 3.3f;
            if (c.change == "orientation") h.quatern_d = 0.2f;  // turned about the z axis
        });
        writeNiftiVolume(folder_ / "v4.nii", values, true, same);
        int age = 50;
        for (const char* name : {"v1.nii", "v2.nii", "v3.nii", "v4.nii"})
            fs::last_write_time(folder_ / name, fs::file_time_type::clock::now() - std::chrono::seconds(age -= 10));
        korvanth::WatchFolderSource source(settings_);
        const Run r = run(source);
        EXPECT_EQ(r.end, VolumeSource::Next::Failed) << log_;
        EXPECT_EQ(r.volumes.size(), 2u) << log_;
        EXPECT_NE(r.error.find("v3.nii has " + c.expected), std::string::npos) << r.error;
        EXPECT_EQ(source.changedValues(), 1);
    }
}

// A session's folder holding, file by file interleaved, a run and what
// goes beside it (a motion-corrected copy, phase images numbered after it
// with its description, its second echo), then another study's series of
// the same number, series UID and names' order, and a stray file. Opened
// once per series, the watch runs each series whole, in the order of its
// first file, tells the kinds apart by the data, reads every file once and
// places each in its series or among the ignored.
TEST_F(WatchFolder, ASessionsSeriesComeWholeEachInTurnAndEveryFileIsPlaced) {
    using Values = korvanth_test::DicomValues;
    const gdcm::Tag imageType(0x0008, 0x0008), description(0x0008, 0x103e), study(0x0020, 0x000d),
        series(0x0020, 0x000e), number(0x0020, 0x0011), echo(0x0018, 0x0086);
    // Each kind's files, and the word its kind is told by ("": a run).
    const std::vector<std::tuple<std::string, Values, std::string>> kinds = {
        {"bold", {}, ""},
        {"moco",
         {{imageType, "DERIVED\\PRIMARY\\M\\ND\\MOSAIC\\MOCO"}, {series, "1.2.3.1"}, {description, "MoCoSeries"}},
         "motion-corrected"},
        {"phase", {{imageType, "ORIGINAL\\PRIMARY\\P\\ND\\MOSAIC"}, {series, "1.2.3.2"}, {number, "3"}}, "phase"},
        {"echo", {{echo, "2"}}, "echo 2"},
        {"study", {{study, "1.2.3.9"}}, ""}};
    for (int v = 0; v < 6; ++v)
        for (std::size_t k = 0; k < kinds.size(); ++k)
            rewrite(mosaicDir / ("IM-0001-000" + std::to_string(v + 1) + ".dcm"),
                    std::get<0>(kinds[k]) + std::to_string(v + 1) + ".dcm", 100 - 5 * v - static_cast<int>(k),
                    std::get<1>(kinds[k]));
    std::ofstream(folder_ / "stray.dcm") << "a report, no image\n";
    settings_.endAtNewSeries = true;
    korvanth::WatchFolderSource source(settings_);
    std::vector<std::string> keys;
    for (std::size_t k = 0; k < kinds.size(); ++k) {
        const Run r = run(source);
        const korvanth::SeriesIdentity id = source.identity();
        keys.push_back(id.key);
        const auto& [name, values, word] = kinds[k];
        ASSERT_EQ(r.volumes.size(), 6u) << name << "\n" << log_;
        EXPECT_EQ(r.volumes[5], voxelsOf(mosaicDir / "IM-0001-0006.dcm")) << name;
        EXPECT_EQ(id.otherKind.empty(), word.empty()) << name << ": " << id.otherKind;
        EXPECT_NE(id.otherKind.find(word), std::string::npos) << name << ": " << id.otherKind;
    }
    EXPECT_NE(keys.front(), keys.back());  // another study: another series
    korvanth::SeriesInfo info;
    std::string error;
    EXPECT_FALSE(source.open(info, error));  // nothing left, nothing read again
    const korvanth::FileLedger& ledger = source.ledger();
    EXPECT_EQ(ledger.appearedCount(), 31);
    for (const std::string& key : keys) EXPECT_EQ(ledger.filesOf(key), 6) << key;
    EXPECT_EQ(ledger.ignoredCounts(), (std::map<std::string, int64_t>{{korvanth::ignoredBecause::notAnImage, 1}}));
    EXPECT_EQ(ledger.openCount(), 0);

    // Two exports' series of one number, told apart by the session field of
    // their names: two runs, each whole.
    for (const auto& entry : fs::directory_iterator(folder_)) fs::remove(entry.path());
    for (int v = 1; v <= 3; ++v)
        for (const char* session : {"001", "002"})
            place(exportDir / ("001_000013_00000" + std::to_string(v) + ".dcm"),
                  std::string(session) + "_000013_00000" + std::to_string(v) + ".dcm", 20 - v);
    korvanth::WatchFolderSource exports(settings_);
    EXPECT_EQ(run(exports).volumes.size(), 3u) << log_;
    const std::string firstExport = exports.identity().key;
    EXPECT_EQ(run(exports).volumes.size(), 3u) << log_;
    EXPECT_NE(exports.identity().key, firstExport);
}

}  // namespace
