// Live runs as a user makes them: korvanth-scanner writing volume files in
// chunks into a folder and Korvanth --watch taking them, two processes. The
// test waits on what the processes say and write, never on their speed.
#include <gtest/gtest.h>

#include "dicom_rewrite.h"
#include "korvanth/sources/dicom/dicom_series.h"
#include "korvanth/sources/nifti_series.h"
#include "korvanth_runner.h"
#include "stray_nifti.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

const fs::path dataDir = TARVEX_SHARED_DATA_DIR;
const fs::path haxbyBold = dataDir / "haxby_run1_1slice_bold.nii.gz";
const fs::path mosaicDir = dataDir / "dicom" / "siemens_mosaic_ep2d";
const fs::path mosaicReference = dataDir / "dicom" / "siemens_mosaic_ep2d_dcm2niix.nii.gz";

std::string readText(const fs::path& path) { return korvanth_test::readBytes(path); }
using Child = korvanth_test::BackgroundProcess;

// Waits up to `seconds` (generous: a loaded machine is slow, not wrong) until `ready`.
bool waitFor(const std::function<bool()>& ready, double seconds = 60.0) {
    for (auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
         std::chrono::steady_clock::now() < end;) {
        if (ready()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return ready();
}

class LiveRun : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device random;
        folder_ = fs::temp_directory_path() / ("korvanth_live_" + std::to_string(random() % 100000000u));
        fs::create_directories(folder_ / "in");
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    // Korvanth watching in/ into out/ with `options`; returns once it waits for the first volume.
    std::unique_ptr<Child> startHost(const std::vector<std::string>& options) {
        std::vector<std::string> arguments{KORVANTH_PATH,
                                           "--plugin",
                                           TARVEX_PLUGIN_PATH,
                                           "--watch",
                                           (folder_ / "in").string(),
                                           "--out",
                                           (folder_ / "out").string()};
        arguments.insert(arguments.end(), options.begin(), options.end());
        auto host = std::make_unique<Child>(arguments, folder_ / "host.txt");
        EXPECT_TRUE(waitFor([&] { return hostSaid("waiting for the first volume"); }))
            << readText(folder_ / "host.txt");
        return host;
    }
    std::unique_ptr<Child> startScanner(const fs::path& from, const std::string& tr,
                                        const std::vector<std::string>& options = {"--chunks", "8", "--write-ms",
                                                                                   "40"}) {
        std::vector<std::string> arguments{
            KORVANTH_SCANNER_PATH, "--from", from.string(), "--to", (folder_ / "in").string(), "--tr", tr};
        arguments.insert(arguments.end(), options.begin(), options.end());
        return std::make_unique<Child>(arguments, folder_ / "scanner.txt");
    }
    bool hostSaid(const std::string& text) const {
        return readText(folder_ / "host.txt").find(text) != std::string::npos;
    }

    // Replays <run>/bold.nii.gz with <run>/bold_motion.txt (the motion the
    // live run used) into replay/ and checks that it gives <run>'s maps bit
    // for bit, and that they are maps a working plug-in leaves.
    void expectReplayGivesTheSameMaps(const fs::path& run) {
        fs::remove_all(folder_ / "replay");
        Child replay(
            {KORVANTH_PATH, "--plugin", TARVEX_PLUGIN_PATH, "--bold", (run / "bold.nii.gz").string(), "--motion",
             (run / "bold_motion.txt").string(), "--motion-format", "plain", "--out", (folder_ / "replay").string()},
            folder_ / "replay.txt");
        ASSERT_EQ(replay.wait(120.0), 0) << readText(folder_ / "replay.txt");
        const std::string live = readText(run / "maps.f32");
        EXPECT_FALSE(live.empty());
        EXPECT_TRUE(live == readText(folder_ / "replay" / "maps.f32"))
            << "the replay's maps differ from the live run's in " << run;
        korvanth::NiftiSeries saved;
        std::string error;
        ASSERT_TRUE(korvanth::readNiftiSeries((run / "bold.nii.gz").string(), saved, error)) << error;
        EXPECT_TRUE(korvanth_test::plausibleMaps(korvanth_test::readMaps(run / "maps.f32"), saved.volumes)) << run;
    }
    void expectReplayGivesTheSameMaps() { expectReplayGivesTheSameMaps(folder_ / "out"); }

    // timing.csv's rows: a live volume's latency fields are filled, and its
    // parts fit in its latency.
    int timingRows() const {
        const std::string csv = readText(folder_ / "out" / "timing.csv");
        int rows = 0;
        std::size_t at = csv.find('\n') + 1;
        for (std::size_t end; (end = csv.find('\n', at)) != std::string::npos; at = end + 1, ++rows) {
            double step = 0, latency = 0, detection = 0, reading = 0, motion = 0, outputs = 0;
            int volume = 0, slow = 0;
            const std::string row = csv.substr(at, end - at);
            EXPECT_EQ(std::sscanf(row.c_str(), "%d,%lf,%d,%lf,%lf,%lf,%lf,%lf", &volume, &step, &slow, &latency,
                                  &detection, &reading, &motion, &outputs),
                      8)
                << row;
            EXPECT_EQ(volume, rows + 1);
            EXPECT_GE(latency + 1e-8, detection + reading + motion + step + outputs) << row;  // printed to 1 ns
        }
        return rows;
    }

    // The live view's port, as the host said it.
    int liveViewPort() const {
        const std::string said = readText(folder_ / "host.txt");
        const std::string prefix = "Live view: http://127.0.0.1:";
        const std::size_t at = said.find(prefix);
        EXPECT_NE(at, std::string::npos) << said;
        return at == std::string::npos ? 0 : std::stoi(said.substr(at + prefix.size()));
    }
    // The live view serves `session` as /api/session.
    void expectServedSession(const nlohmann::json& session) const {
        httplib::Client client("127.0.0.1", liveViewPort());
        const auto served = client.Get("/api/session");
        ASSERT_TRUE(served && served->status == 200);
        EXPECT_EQ(nlohmann::json::parse(served->body), session);
    }
    // session.json places every file in/ received: in a series' count or an ignored reason's.
    void expectEveryFilePlaced(const nlohmann::json& session) const {
        int64_t placed = 0;
        for (const nlohmann::json& entry : session["series"]) placed += entry["files"].get<int64_t>();
        for (const auto& [reason, count] : session["files"]["ignored"].items()) placed += count.get<int64_t>();
        const auto received = std::distance(fs::directory_iterator(folder_ / "in"), fs::directory_iterator());
        EXPECT_EQ(placed, received) << session.dump(2);
        EXPECT_EQ(session["files"]["appeared"], received);
    }

    fs::path folder_;
};

// Converts `folder` with Debian's dcm2niix into out/reference.nii.gz.
bool convertWithDcm2niix(const fs::path& folder, const fs::path& out) {
    fs::create_directories(out);
    const std::string command = "/usr/bin/dcm2niix -z y -b n -f reference -o '" + out.string() + "' '" +
                                folder.string() + "' > '" + (out / "dcm2niix.log").string() + "' 2>&1";
    return std::system(command.c_str()) == 0 && fs::exists(out / "reference.nii.gz");
}

// Expects `bold` (a run's series) to be what Debian's dcm2niix makes of the
// DICOM files in `series` (converted into `scratch`): the volumes voxel for
// voxel, the 8 corners within 0.05 mm. Returns dcm2niix's series.
korvanth::NiftiSeries expectAsDcm2niix(const fs::path& bold, const fs::path& series, const fs::path& scratch) {
    korvanth::NiftiSeries saved, reference;
    std::string error;
    EXPECT_TRUE(convertWithDcm2niix(series, scratch)) << readText(scratch / "dcm2niix.log");
    EXPECT_TRUE(korvanth::readNiftiSeries((scratch / "reference.nii.gz").string(), reference, error)) << error;
    EXPECT_TRUE(korvanth::readNiftiSeries(bold.string(), saved, error)) << error;
    EXPECT_EQ(saved.volumes.size(), reference.volumes.size()) << bold;
    EXPECT_TRUE(saved.volumes == reference.volumes) << bold << " is not the series dcm2niix reads in " << series;
    double a[3][4], b[3][4];
    korvanth::voxelToWorld(saved.info.geometry, a);
    korvanth::voxelToWorld(reference.info.geometry, b);
    for (int corner = 0; corner < 8; ++corner) {
        const double ijk[3] = {(corner & 1) ? saved.info.dims[0] - 1.0 : 0.0,
                               (corner & 2) ? saved.info.dims[1] - 1.0 : 0.0,
                               (corner & 4) ? saved.info.dims[2] - 1.0 : 0.0};
        for (int r = 0; r < 3; ++r)
            EXPECT_NEAR(a[r][0] * ijk[0] + a[r][1] * ijk[1] + a[r][2] * ijk[2] + a[r][3],
                        b[r][0] * ijk[0] + b[r][1] * ijk[1] + b[r][2] * ijk[2] + b[r][3], 0.05)
                << bold << ": corner " << corner << ", axis " << r;
    }
    return reference;
}

// A shared DICOM series through a live run, korvanth-scanner writing its
// files in chunks (a volume's files every TR: a file per volume, per slice or
// the whole series in one): every volume taken as Debian's dcm2niix converts
// the files (voxels exact, the 8 corners within 0.05 mm, the TR; the rescale
// in bold.nii.gz as a replay of the files keeps it), and the saved series
// replays to the same maps bit for bit.
class LiveSeries : public LiveRun, public ::testing::WithParamInterface<const char*> {};

TEST_P(LiveSeries, ScannerToHostGivesWhatDcm2niixGivesAndReplaysToTheSameMaps) {
    const fs::path series = dataDir / "dicom" / GetParam();
    if (!fs::exists(series)) GTEST_SKIP() << "shared data missing: " << series;
    if (!fs::exists("/usr/bin/dcm2niix")) GTEST_SKIP() << "/usr/bin/dcm2niix missing (Debian package dcm2niix)";
    ASSERT_TRUE(convertWithDcm2niix(series, folder_ / "dcm2niix")) << readText(folder_ / "dcm2niix" / "dcm2niix.log");
    korvanth::NiftiSeries saved, reference;
    std::string error;
    ASSERT_TRUE(korvanth::readNiftiSeries((folder_ / "dcm2niix" / "reference.nii.gz").string(), reference, error))
        << error;
    const auto volumes = static_cast<int>(reference.volumes.size());
    auto host = startHost({"--volumes", std::to_string(volumes), "--idle-timeout", "60"});
    auto scanner = startScanner(series, "0.2");
    ASSERT_EQ(host->wait(300.0), 0) << readText(folder_ / "host.txt");
    EXPECT_EQ(scanner->wait(120.0), 0) << readText(folder_ / "scanner.txt");
    EXPECT_TRUE(hostSaid("Arrival to maps: median")) << readText(folder_ / "host.txt");
    EXPECT_EQ(timingRows(), volumes);
    // A series whose acquisition times tell its volumes apart (the Siemens
    // mosaics at least) is timed volume by volume, the last volume acquired
    // (n - 1) TRs after the first; one whose times do not (a whole series or
    // a pair stamped alike, times anonymised away) has no timeline, saying why.
    const nlohmann::json maps = nlohmann::json::parse(readText(folder_ / "out" / "maps.json"));
    const nlohmann::json& timeline = maps["arrival_timeline"];
    if (std::string(GetParam()).find("siemens_mosaic") != std::string::npos) {
        EXPECT_FALSE(timeline.is_null()) << maps;
    }
    if (timeline.is_null()) {
        EXPECT_FALSE(maps["arrival_timeline_absent"].get<std::string>().empty()) << maps;
    } else {
        EXPECT_EQ(timeline["timed_volumes"], volumes) << timeline;
        const std::string csv = readText(folder_ / "out" / "timing.csv");
        std::string last = csv.substr(csv.rfind('\n', csv.size() - 2) + 1);
        for (int comma = 0; comma < 10; ++comma) last.erase(0, last.find(',') + 1);
        EXPECT_NEAR(std::stod(last), (volumes - 1) * reference.info.repetitionTimeSeconds,
                    0.02 * (volumes - 1) * reference.info.repetitionTimeSeconds)
            << csv;
    }

    expectAsDcm2niix(folder_ / "out" / "bold.nii.gz", series, folder_ / "dcm2niix_live");
    ASSERT_TRUE(korvanth::readNiftiSeries((folder_ / "out" / "bold.nii.gz").string(), saved, error)) << error;
    // Philips' enhanced ASL series: dcm2niix replaces the recorded TR (4.25 s)
    // by a label and control pair's; the recorded one is kept.
    const bool philipsAsl = std::string(GetParam()).find("philips_enhanced") != std::string::npos;
    EXPECT_NEAR(saved.info.repetitionTimeSeconds, philipsAsl ? 4.25 : reference.info.repetitionTimeSeconds, 1e-3);
    // The rescale is written beside the stored values, as a replay of the files keeps it.
    korvanth::DicomSeriesSource replay(series.string());
    korvanth::SeriesInfo replayed;
    ASSERT_TRUE(replay.open(replayed, error)) << error;
    EXPECT_FLOAT_EQ(static_cast<float>(saved.info.valueSlope), static_cast<float>(replayed.valueSlope));
    EXPECT_FLOAT_EQ(static_cast<float>(saved.info.valueIntercept), static_cast<float>(replayed.valueIntercept));
    expectReplayGivesTheSameMaps();
}

INSTANTIATE_TEST_SUITE_P(SharedSeries, LiveSeries,
                         ::testing::Values("siemens_mosaic_ep2d", "siemens_realtime_export",
                                           "vendors/siemens_mosaic_sagittal", "vendors/siemens_mosaic_head_to_foot",
                                           "vendors/siemens_xa30_interop_bold", "vendors/ge_epirt_slices",
                                           "vendors/philips_classic_fmri_oblique", "vendors/philips_enhanced_series",
                                           "vendors/canon_enhanced_series", "vendors/uih_vframe",
                                           "vendors/ge_multiphase_slices", "vendors/canon_classic_slices"),
                         [](const ::testing::TestParamInfo<const char*>& param) {
                             std::string name = fs::path(param.param).filename().string();
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

// The scanner stand-in copies as SMB clients do: each file at its full size
// (zeros) first, then filled over half a second. Korvanth takes each volume
// only once filled, judging by the system's reports (a local folder) and by
// polling with a settle time (as on a network folder); it used to take most
// of them as zeros.
TEST_F(LiveRun, PreallocatedFilesFilledSlowlyAreTakenOnlyOnceFilled) {
    for (const fs::path& needed : {mosaicDir, mosaicReference})
        if (!fs::exists(needed)) GTEST_SKIP() << "shared data missing: " << needed;
    korvanth::NiftiSeries reference;
    std::string error;
    ASSERT_TRUE(korvanth::readNiftiSeries(mosaicReference.string(), reference, error)) << error;
    for (const std::vector<std::string>& judging : {std::vector<std::string>{}, {"--poll-settle", "0.4"}}) {
        SCOPED_TRACE(judging.empty() ? "system reports" : "polling");
        fs::remove_all(folder_ / "in");
        fs::remove_all(folder_ / "out");
        fs::create_directories(folder_ / "in");
        std::vector<std::string> options{"--volumes", "6", "--idle-timeout", "60"};
        options.insert(options.end(), judging.begin(), judging.end());
        auto host = startHost(options);
        auto scanner = startScanner(mosaicDir, "0.6", {"--preallocate", "--chunks", "10", "--write-ms", "500"});
        ASSERT_EQ(host->wait(120.0), 0) << readText(folder_ / "host.txt");
        EXPECT_EQ(scanner->wait(60.0), 0) << readText(folder_ / "scanner.txt");
        korvanth::NiftiSeries saved;
        ASSERT_TRUE(korvanth::readNiftiSeries((folder_ / "out" / "bold.nii.gz").string(), saved, error)) << error;
        ASSERT_EQ(saved.volumes.size(), reference.volumes.size());
        for (std::size_t v = 0; v < saved.volumes.size(); ++v)
            EXPECT_TRUE(saved.volumes[v] == reference.volumes[v])
                << "volume " << v + 1 << " taken before it was filled";
    }
}

// SIGINT after a few volumes of a long run: Korvanth finishes with what came,
// writes every output, marks them partial, and they replay to its maps.
TEST_F(LiveRun, SigintInTheMiddleEndsWithCompleteOutputsMarkedPartial) {
    if (!fs::exists(haxbyBold)) GTEST_SKIP() << "shared data missing: " << haxbyBold;
    auto host = startHost({"--idle-timeout", "60"});
    auto scanner = startScanner(haxbyBold, "0.05");  // 121 volumes
    // The motion log (in the staging folder) has a line for each volume from the second.
    const auto volumesDone = [&] {
        int lines = 0;
        std::error_code failed;
        for (const auto& entry : fs::recursive_directory_iterator(folder_ / "out", failed))
            if (entry.path().filename() == "live_3DMC.log") {
                const std::string log = readText(entry.path());
                for (std::size_t at = 0; (at = log.find("Volume ", at)) != std::string::npos; ++at) ++lines;
            }
        return lines;
    };
    ASSERT_TRUE(waitFor([&] { return volumesDone() >= 4; })) << readText(folder_ / "host.txt");
    host->signal(SIGINT);
    ASSERT_EQ(host->wait(120.0), 5) << readText(folder_ / "host.txt");  // a partial run
    scanner->signal(SIGTERM);
    scanner->wait(60.0);

    EXPECT_TRUE(hostSaid("volumes (stopped on request)")) << readText(folder_ / "host.txt");
    const std::string json = readText(folder_ / "out" / "maps.json");
    EXPECT_NE(json.find("\"complete\": false"), std::string::npos) << json;
    EXPECT_NE(json.find("\"end_reason\": \"stopped on request\""), std::string::npos) << json;
    EXPECT_NE(readText(folder_ / "out" / "report.html").find("volumes (stopped on request)"), std::string::npos);
    korvanth::NiftiSeries saved;
    std::string error;
    ASSERT_TRUE(korvanth::readNiftiSeries((folder_ / "out" / "bold.nii.gz").string(), saved, error)) << error;
    const int volumes = static_cast<int>(saved.volumes.size());
    EXPECT_GE(volumes, 5);
    EXPECT_LT(volumes, 121);
    EXPECT_NE(json.find("\"volumes\": " + std::to_string(volumes)), std::string::npos) << json;
    EXPECT_EQ(timingRows(), volumes);
    korvanth::NiftiSeries input;
    ASSERT_TRUE(korvanth::readNiftiSeries(haxbyBold.string(), input, error)) << error;
    for (int v = 0; v < volumes; ++v)
        EXPECT_TRUE(saved.volumes[static_cast<std::size_t>(v)] == input.volumes[static_cast<std::size_t>(v)]) << v;
    expectReplayGivesTheSameMaps();
}

// A scanning session followed from one start: two functional runs of
// different grids, between them a series of one volume, and at the end a
// diffusion series (DICOM, when the shared data is there). Each run has its
// own committed folder that replays bit for bit, the single volume is listed
// with its reason and never run, and the live view serves session.json and
// exactly the committed files of each run.
TEST_F(LiveRun, SessionMakesEverySeriesARunAndSkipsASingleVolume) {
    const fs::path made = folder_ / "made";
    for (const std::vector<std::string>& run : {std::vector<std::string>{"a", "12", "24", "24", "12"},
                                                std::vector<std::string>{"b", "10", "20", "22", "10"}}) {
        Child synthetic({KORVANTH_PATH, "--plugin", TARVEX_PLUGIN_PATH, "--volumes", run[1], "--dims", run[2], run[3],
                         run[4], "--out", (made / run[0]).string()},
                        folder_ / "made.txt");
        ASSERT_EQ(synthetic.wait(120.0), 0) << readText(folder_ / "made.txt");
    }
    auto host = startHost(
        {"--session", "--session-idle", "3", "--idle-timeout", "3", "--serve", "127.0.0.1:0", "--linger", "60"});
    // A stray header claiming 17 GB lands before the first series: refused
    // from its length, it costs the session nothing.
    korvanth_test::writeStrayNiftiHeader(folder_ / "in" / "stray.nii.gz");
    std::vector<std::string> played{KORVANTH_SCANNER_PATH,
                                    "--from",
                                    (made / "a" / "bold.nii.gz").string(),
                                    "--from",
                                    (made / "a" / "bold.nii.gz").string(),
                                    "--from",
                                    (made / "b" / "bold.nii.gz").string()};
    // Where the shared data is there (as in CI), a diffusion series closes the
    // session: of another kind than a functional run, it is listed, not run.
    const fs::path diffusion = dataDir / "dicom" / "vendors" / "canon_enhanced_series";
    const bool withDiffusion = fs::exists(diffusion);
    if (withDiffusion) played.insert(played.end(), {"--from", diffusion.string()});
    played.insert(played.end(), {"--volumes", "0", "1", "0"});
    if (withDiffusion) played.push_back("0");
    played.insert(played.end(), {"--series", "5", "--tr", "0.1", "--pause", "1", "--to", (folder_ / "in").string()});
    Child scanner(played, folder_ / "scanner.txt");
    ASSERT_EQ(scanner.wait(120.0), 0) << readText(folder_ / "scanner.txt");
    ASSERT_TRUE(waitFor([&] { return hostSaid("Live view stays at"); }, 120.0)) << readText(folder_ / "host.txt");

    const nlohmann::json session = nlohmann::json::parse(readText(folder_ / "out" / "session.json"));
    ASSERT_EQ(session["series"].size(), withDiffusion ? 4u : 3u) << session.dump(2);
    if (withDiffusion) {
        const nlohmann::json& skipped = session["series"][3];
        EXPECT_EQ(skipped["state"], "skipped");
        EXPECT_NE(skipped["reason"].get<std::string>().find("diffusion"), std::string::npos) << skipped;
    }
    const nlohmann::json& first = session["series"][0];
    const nlohmann::json& single = session["series"][1];
    const nlohmann::json& second = session["series"][2];
    EXPECT_EQ(first["folder"], "005");
    EXPECT_EQ(first["state"], "complete");
    EXPECT_EQ(first["volumes"], 12);
    EXPECT_EQ(single["series_number"], 6);
    EXPECT_EQ(single["state"], "skipped");
    EXPECT_TRUE(single["folder"].is_null());
    EXPECT_NE(single["reason"].get<std::string>().find("single volume"), std::string::npos) << single;
    EXPECT_FALSE(fs::exists(folder_ / "out" / "006"));
    EXPECT_EQ(second["folder"], "007");
    EXPECT_EQ(second["volumes"], 10);
    EXPECT_EQ(session["frames"], 22);
    double lowMotion = 0.0;
    for (const nlohmann::json& run : {first, second}) lowMotion += run["low_motion_s"][0].get<double>();
    EXPECT_DOUBLE_EQ(session["low_motion"][0]["low_motion_s"].get<double>(), lowMotion);

    // The live view, still up: the same session, and a run's committed files only.
    expectServedSession(session);
    const std::string said = readText(folder_ / "host.txt");
    httplib::Client client("127.0.0.1", liveViewPort());
    const auto report = client.Get("/runs/007/report.html");
    ASSERT_TRUE(report && report->status == 200);
    EXPECT_EQ(report->body, readText(folder_ / "out" / "007" / "report.html"));
    for (const char* refused :
         {"/runs/005/../session.json", "/runs/005/%2e%2e%2fsession.json", "/runs/005/.korvanth-results",
          "/runs/006/report.html", "/runs/..%2f005/maps.f32", "/runs/005/maps.f32/x"}) {
        const auto answer = client.Get(refused);
        EXPECT_TRUE(answer && answer->status == 404) << refused;
    }
    EXPECT_NE(said.find("stray.nii.gz: the voxel data is truncated"), std::string::npos) << said;
    host->signal(SIGINT);
    EXPECT_EQ(host->wait(60.0), 0) << readText(folder_ / "host.txt");
    for (const char* run : {"005", "007"}) expectReplayGivesTheSameMaps(folder_ / "out" / run);
}

// A session outlives its process and its watch folder. A second start into
// the same out folder adds to the first's session: series 5 again runs into
// 005_2, the first start's 005 stays bit for bit, session.json lists both
// starts' runs and adds up their low-motion time. The watch folder removed
// and re-created between series is watched again, and the next series runs.
// The live view of the second start serves the first start's runs too.
TEST_F(LiveRun, SessionGoesOnAfterARestartAndARecreatedWatchFolder) {
    const fs::path made = folder_ / "made" / "bold.nii.gz";
    Child synthetic({KORVANTH_PATH, "--plugin", TARVEX_PLUGIN_PATH, "--volumes", "8", "--dims", "16", "16", "8",
                     "--out", made.parent_path().string()},
                    folder_ / "made.txt");
    ASSERT_EQ(synthetic.wait(120.0), 0) << readText(folder_ / "made.txt");
    const std::vector<std::string> session{"--session", "--session-idle", "60", "--idle-timeout", "2"};
    const auto runsDone = [&](std::size_t runs) {
        return waitFor([&] {
            const std::string text = readText(folder_ / "out" / "session.json");
            const nlohmann::json record = nlohmann::json::parse(text, nullptr, false);
            return !record.is_discarded() && record["series"].size() == runs &&
                   record["series"].back()["state"] == "complete";
        });
    };
    const auto play = [&](const std::string& series) {
        auto scanner = startScanner(made, "0.1", {"--series", series});
        EXPECT_EQ(scanner->wait(60.0), 0) << readText(folder_ / "scanner.txt");
    };
    auto first = startHost(session);
    play("5");
    ASSERT_TRUE(runsDone(1)) << readText(folder_ / "host.txt");
    first->signal(SIGINT);
    ASSERT_EQ(first->wait(60.0), 0) << readText(folder_ / "host.txt");
    std::map<std::string, std::string> firstRun;
    for (const auto& entry : fs::directory_iterator(folder_ / "out" / "005"))
        firstRun[entry.path().filename().string()] = readText(entry.path());
    const nlohmann::json firstRecord = nlohmann::json::parse(readText(folder_ / "out" / "session.json"));

    fs::remove_all(folder_ / "in");  // the scanner writes series 5's names again
    fs::create_directories(folder_ / "in");
    std::vector<std::string> served = session;
    served.insert(served.end(), {"--serve", "127.0.0.1:0", "--linger", "0"});
    auto second = startHost(served);
    EXPECT_TRUE(hostSaid("Going on with the session")) << readText(folder_ / "host.txt");
    httplib::Client client("127.0.0.1", liveViewPort());
    const auto earlier = client.Get("/runs/005/report.html");  // the first start's run, served again
    ASSERT_TRUE(earlier && earlier->status == 200);
    EXPECT_EQ(earlier->body, readText(folder_ / "out" / "005" / "report.html"));
    play("5");
    ASSERT_TRUE(runsDone(2)) << readText(folder_ / "host.txt");
    fs::remove_all(folder_ / "in");
    ASSERT_TRUE(waitFor([&] { return hostSaid("is gone"); })) << readText(folder_ / "host.txt");
    fs::create_directories(folder_ / "in");
    ASSERT_TRUE(waitFor([&] { return hostSaid("is there again"); })) << readText(folder_ / "host.txt");
    play("7");
    ASSERT_TRUE(runsDone(3)) << readText(folder_ / "host.txt");
    second->signal(SIGINT);
    ASSERT_EQ(second->wait(60.0), 0) << readText(folder_ / "host.txt");

    const nlohmann::json record = nlohmann::json::parse(readText(folder_ / "out" / "session.json"));
    EXPECT_EQ(record["series"][0], firstRecord["series"][0]);
    std::vector<std::string> folders;
    double lowMotion = 0.0;
    for (const nlohmann::json& run : record["series"]) {
        folders.push_back(run["folder"].get<std::string>());
        lowMotion += run["low_motion_s"][0].get<double>();
    }
    EXPECT_EQ(folders, (std::vector<std::string>{"005", "005_2", "007"}));
    EXPECT_EQ(record["frames"], 24);
    EXPECT_DOUBLE_EQ(record["low_motion"][0]["low_motion_s"].get<double>(), lowMotion);
    std::map<std::string, std::string> firstRunNow;
    for (const auto& entry : fs::directory_iterator(folder_ / "out" / "005"))
        firstRunNow[entry.path().filename().string()] = readText(entry.path());
    EXPECT_TRUE(firstRunNow == firstRun) << "a restart changed the first start's run";
    expectReplayGivesTheSameMaps(folder_ / "out" / "005_2");
}

// A DICOM session as a new user plays it: a 3D scout, the mosaic run, a
// stray non-image file, a NIfTI export run, an XA interoperability run
// (a series a volume) and another study's copy of the mosaic run with the
// same series number. Every series after the scout is run, each whole;
// the other study's run is its own and equals the first; session.json and
// /api/session account for every file the folder received.
TEST_F(LiveRun, ADicomSessionRunsEverySeriesAfterAScoutAndAccountsForEveryFile) {
    const fs::path vendors = dataDir / "dicom" / "vendors";
    const fs::path scout = vendors / "siemens_mosaic_jpeg_lossless", xa = vendors / "siemens_xa30_interop_bold";
    for (const fs::path& needed : {mosaicDir, haxbyBold, scout, xa})
        if (!fs::exists(needed)) GTEST_SKIP() << "shared data missing: " << needed;
    const fs::path otherStudy = folder_ / "other_study";
    fs::create_directories(otherStudy);
    for (const auto& entry : fs::directory_iterator(mosaicDir))
        korvanth_test::rewriteDicom(
            entry.path(), otherStudy / ("s2-" + entry.path().filename().string()),
            {{gdcm::Tag(0x0020, 0x000d), "1.2.826.0.1.7"}, {gdcm::Tag(0x0020, 0x000e), "1.2.826.0.1.8"}});
    auto host = startHost(
        {"--session", "--session-idle", "4", "--idle-timeout", "3", "--serve", "127.0.0.1:0", "--linger", "60"});
    Child scanner({KORVANTH_SCANNER_PATH,
                   "--from",
                   scout.string(),
                   "--from",
                   mosaicDir.string(),
                   "--from",
                   haxbyBold.string(),
                   "--from",
                   xa.string(),
                   "--from",
                   otherStudy.string(),
                   "--volumes",
                   "0",
                   "0",
                   "6",
                   "0",
                   "0",
                   "--series",
                   "5",
                   "--tr",
                   "0.2",
                   "--pause",
                   "1.5",
                   "--to",
                   (folder_ / "in").string()},
                  folder_ / "scanner.txt");
    // The stray file comes once the scout is listed, while the series go on.
    ASSERT_TRUE(waitFor([&] {
        return readText(folder_ / "out" / "session.json").find("single volume") != std::string::npos;
    })) << readText(folder_ / "host.txt");
    std::ofstream(folder_ / "in" / "notes.txt") << "not an image\n";
    ASSERT_EQ(scanner.wait(120.0), 0) << readText(folder_ / "scanner.txt");
    ASSERT_TRUE(waitFor([&] { return hostSaid("Live view stays at"); }, 120.0)) << readText(folder_ / "host.txt");

    const nlohmann::json session = nlohmann::json::parse(readText(folder_ / "out" / "session.json"));
    const nlohmann::json& series = session["series"];
    ASSERT_EQ(series.size(), 5u) << session.dump(2);
    EXPECT_EQ(series[0]["state"], "skipped");
    const std::vector<int> volumes{6, 6, 3, 6};
    for (std::size_t k = 1; k < 5; ++k) {
        EXPECT_EQ(series[k]["state"], "complete") << series[k];
        EXPECT_EQ(series[k]["volumes"], volumes[k - 1]) << series[k];
    }
    EXPECT_EQ(series[1]["series_number"], series[4]["series_number"]);
    EXPECT_NE(series[1]["folder"], series[4]["folder"]);
    expectEveryFilePlaced(session);
    EXPECT_EQ(session["files"]["ignored"]["not an image"], 1) << session.dump(2);
    EXPECT_EQ(series[3]["files"], 99);
    // The volumes read ahead to tell a run from a single volume (3, the
    // default) are counted apart from the host's latency; the DICOM runs
    // have an arrival timeline of every volume, the NIfTI run none, said so.
    for (std::size_t k = 1; k < 5; ++k) {
        const fs::path run = folder_ / "out" / series[k]["folder"].get<std::string>();
        const nlohmann::json maps = nlohmann::json::parse(readText(run / "maps.json"));
        const int count = volumes[k - 1];
        EXPECT_EQ(maps["latency"]["read_ahead_volumes"], 3) << maps;
        EXPECT_EQ(maps["latency"]["volumes"], count - 3) << maps;
        EXPECT_EQ(maps["latency"]["median_ms"].is_null(), count == 3) << maps;
        const bool nifti = k == 2;
        EXPECT_EQ(maps["arrival_timeline"].is_null(), nifti) << maps;
        if (!nifti) {
            EXPECT_EQ(maps["arrival_timeline"]["timed_volumes"], count) << maps;
        }
        const std::string report = readText(run / "report.html");
        EXPECT_NE(report.find("<title>QC report: Series " + std::to_string(series[k]["series_number"].get<int>())),
                  std::string::npos);
        EXPECT_NE(report.find("id=\"read-ahead-volumes\">3<"), std::string::npos) << run;
        EXPECT_EQ(report.find("timeline.png") == std::string::npos, nifti) << run;
    }

    const std::string said = readText(folder_ / "host.txt");
    EXPECT_NE(said.find("over 3 volumes; 3 volumes were read ahead before the run began"), std::string::npos) << said;
    EXPECT_NE(said.find("no volume came after the look-ahead; 3 volumes were read ahead"), std::string::npos);
    EXPECT_NE(said.find("Arrival timeline: none (the input records no acquisition times)"), std::string::npos);
    expectServedSession(session);
    host->signal(SIGINT);
    EXPECT_EQ(host->wait(60.0), 0) << readText(folder_ / "host.txt");
    const fs::path first = folder_ / "out" / series[1]["folder"].get<std::string>();
    const fs::path again = folder_ / "out" / series[4]["folder"].get<std::string>();
    EXPECT_TRUE(readText(first / "maps.f32") == readText(again / "maps.f32"));
    korvanth::NiftiSeries reference, saved;
    std::string error;
    ASSERT_TRUE(korvanth::readNiftiSeries(mosaicReference.string(), reference, error)) << error;
    ASSERT_TRUE(korvanth::readNiftiSeries((again / "bold.nii.gz").string(), saved, error)) << error;
    EXPECT_TRUE(saved.volumes == reference.volumes);
}

// A 3-echo series (a file per echo, the echoes of a TR one after another):
// one run of the first echo, as the mosaic alone gives it, with the later
// echoes beside it in full and their tSNR over the plug-in's mask in
// maps.json and the report. Followed as a session with the files already
// in the folder (session.json lists one run with its echoes, every file of
// it), and as a single --watch run of --volumes 6 with the files arriving
// (the last volume's later echoes come after its first echo ended the run).
class MultiEcho : public LiveRun, public ::testing::WithParamInterface<bool> {};

TEST_P(MultiEcho, AMultiEchoSeriesRunsItsFirstEchoWithTheOthersBesideIt) {
    if (!fs::exists(mosaicReference)) GTEST_SKIP() << "shared data missing: " << mosaicReference;
    const bool session = GetParam();
    const int volumeCount = 6;
    const fs::path made = folder_ / (session ? "in" : "made");
    fs::create_directories(made);
    std::vector<fs::path> files;
    for (int v = 1; v <= volumeCount; ++v)
        for (int echo = 1; echo <= 3; ++echo) {
            files.push_back(made / ("e" + std::to_string(echo) + "-" + std::to_string(v) + ".dcm"));
            korvanth_test::rewriteDicom(mosaicDir / ("IM-0001-000" + std::to_string(v) + ".dcm"), files.back(),
                                        {{gdcm::Tag(0x0018, 0x0086), std::to_string(echo)}});
            fs::last_write_time(files.back(),
                                fs::file_time_type::clock::now() - std::chrono::seconds(100 - 5 * v - echo));
        }
    fs::path run = folder_ / "out";
    if (session) {
        auto host = startHost({"--session", "--include-existing", "--session-idle", "2", "--idle-timeout", "2"});
        ASSERT_EQ(host->wait(120.0), 0) << readText(folder_ / "host.txt");
        const nlohmann::json record = nlohmann::json::parse(readText(folder_ / "out" / "session.json"));
        ASSERT_EQ(record["series"].size(), 1u) << record.dump(2);
        const nlohmann::json& entry = record["series"][0];
        EXPECT_EQ(entry["volumes"], volumeCount);
        EXPECT_EQ(entry["files"], 3 * volumeCount);
        EXPECT_EQ(entry["echoes"], nlohmann::json::parse(R"([{"echo": 2, "volumes": 6}, {"echo": 3, "volumes": 6}])"));
        run /= entry["folder"].get<std::string>();
    } else {
        auto host = startHost({"--volumes", std::to_string(volumeCount), "--idle-timeout", "10"});
        for (const fs::path& file : files) {
            fs::copy_file(file, folder_ / "in" / file.filename());
            std::this_thread::sleep_for(std::chrono::milliseconds(file.stem().string()[1] == '3' ? 150 : 30));
        }
        ASSERT_EQ(host->wait(120.0), 0) << readText(folder_ / "host.txt");
    }
    korvanth::NiftiSeries reference;
    std::string error;
    ASSERT_TRUE(korvanth::readNiftiSeries(mosaicReference.string(), reference, error)) << error;
    // The plug-in's mask (first volume above 100), tSNR with the sample SD, its median.
    std::vector<double> tsnr;
    for (std::size_t i = 0; i < reference.volumes[0].size(); ++i) {
        if (reference.volumes[0][i] <= 100) continue;
        double sum = 0.0, squares = 0.0;
        for (const auto& volume : reference.volumes) sum += volume[i];
        for (const auto& volume : reference.volumes) squares += std::pow(volume[i] - sum / volumeCount, 2);
        if (squares > 0.0) tsnr.push_back(sum / volumeCount / std::sqrt(squares / (volumeCount - 1)));
    }
    std::sort(tsnr.begin(), tsnr.end());
    const std::size_t half = tsnr.size() / 2;
    const double median = tsnr.size() % 2 == 1 ? tsnr[half] : 0.5 * (tsnr[half - 1] + tsnr[half]);
    const nlohmann::json maps = nlohmann::json::parse(readText(run / "maps.json"));
    const std::string report = readText(run / "report.html");
    for (int echo = 2; echo <= 3; ++echo) {
        const std::string file = "bold_echo-" + std::to_string(echo) + ".nii.gz";
        korvanth::NiftiSeries saved;
        ASSERT_TRUE(korvanth::readNiftiSeries((run / file).string(), saved, error)) << error;
        EXPECT_TRUE(saved.volumes == reference.volumes) << file;
        const nlohmann::json& listed = maps["echoes"][echo - 2];
        EXPECT_EQ(listed["file"], file);
        EXPECT_NEAR(listed["tsnr_median"].get<double>(), median, 1e-6 * median) << maps.dump(2);
        EXPECT_NE(report.find("Median tSNR of echo " + std::to_string(echo)), std::string::npos);
    }
    korvanth::NiftiSeries first;
    ASSERT_TRUE(korvanth::readNiftiSeries((run / "bold.nii.gz").string(), first, error)) << error;
    EXPECT_TRUE(first.volumes == reference.volumes);
    expectReplayGivesTheSameMaps(run);
}

INSTANTIATE_TEST_SUITE_P(FollowedAs, MultiEcho, ::testing::Bool(), [](const ::testing::TestParamInfo<bool>& param) {
    return std::string(param.param ? "Session" : "SingleWatchRun");
});

// A series of a session, as played into the watch folder.
struct Played {
    const char* series;  // under the shared DICOM folder; "no pixel data": a DICOM object without an image
    const char* notRun;  // why the session does not run it; nullptr: a run equal to dcm2niix's conversion
};
struct SessionOrder {
    const char* name;
    std::vector<Played> played;  // in the order played, one scanner process each when interleaved
    bool interleaved;            // two series written at once, file by file
};
void PrintTo(const SessionOrder& order, std::ostream* out) { *out << order.name; }

// The shared series played into a session in several orders by
// korvanth-scanner in another process: the XA interoperability series
// (a series a volume) first, in the middle and last; a series of a file per
// slice first; a single volume and a diffusion series before the runs; a
// DICOM object without pixel data between series; two series written at
// once, file by file (each runs in turn, whole, in the order of its first
// file). Every series is listed in the order it began, each run equals
// dcm2niix's conversion of its series, and session.json and /api/session
// account for every file the folder received.
class SessionOrders : public LiveRun, public ::testing::WithParamInterface<SessionOrder> {
protected:
    // The DICOM object without pixel data: a mosaic file stripped of its image.
    fs::path withoutPixelData() {
        const fs::path made = folder_ / "made" / "no_pixel_data.dcm";
        fs::create_directories(made.parent_path());
        gdcm::Reader reader;
        reader.SetFileName((mosaicDir / "IM-0001-0001.dcm").string().c_str());
        EXPECT_TRUE(reader.Read());
        reader.GetFile().GetDataSet().Remove(gdcm::Tag(0x7fe0, 0x0010));
        gdcm::Writer writer;
        writer.SetFile(reader.GetFile());
        writer.SetFileName(made.string().c_str());
        EXPECT_TRUE(writer.Write()) << made;
        return made;
    }
    std::unique_ptr<Child> play(const std::vector<fs::path>& series, const std::string& tr, const std::string& log) {
        std::vector<std::string> arguments{KORVANTH_SCANNER_PATH,    "--tr", tr, "--pause", "1.5", "--to",
                                           (folder_ / "in").string()};
        for (const fs::path& from : series) arguments.insert(arguments.end(), {"--from", from.string()});
        return std::make_unique<Child>(arguments, folder_ / log);
    }
    size_t listedSeries() const {
        const nlohmann::json record = nlohmann::json::parse(readText(folder_ / "out" / "session.json"), nullptr, false);
        return record.is_discarded() ? 0 : record["series"].size();
    }
};

TEST_P(SessionOrders, EverySeriesIsListedInItsTurnAndEveryRunIsWhatDcm2niixGives) {
    if (!fs::exists("/usr/bin/dcm2niix")) GTEST_SKIP() << "/usr/bin/dcm2niix missing (Debian package dcm2niix)";
    const SessionOrder& order = GetParam();
    std::vector<fs::path> series;
    std::size_t strayAfter = 0;  // the object without pixel data comes once so many series are listed
    for (const Played& p : order.played) {
        if (std::string(p.series) == "no pixel data") {
            strayAfter = series.size();
            continue;
        }
        series.push_back(dataDir / "dicom" / p.series);
        if (!fs::exists(series.back())) GTEST_SKIP() << "shared data missing: " << series.back();
    }
    const fs::path stray = strayAfter > 0 ? withoutPixelData() : fs::path();
    auto host = startHost(
        {"--session", "--session-idle", "4", "--idle-timeout", "3", "--serve", "127.0.0.1:0", "--linger", "60"});
    std::vector<std::unique_ptr<Child>> scanners;
    if (order.interleaved) {
        // The second starts once the first's first file is there: each series' first file decides its turn.
        // A TR long enough for the first run to outlast the wait that ends a run when another series began.
        for (std::size_t k = 0; k < series.size(); ++k) {
            if (k > 0) {
                ASSERT_TRUE(waitFor([&] { return !fs::is_empty(folder_ / "in"); })) << readText(folder_ / "host.txt");
            }
            scanners.push_back(play({series[k]}, "1.0", "scanner" + std::to_string(k) + ".txt"));
        }
    } else {
        scanners.push_back(play(series, "0.2", "scanner0.txt"));
    }
    if (strayAfter > 0) {
        ASSERT_TRUE(waitFor([&] { return listedSeries() >= strayAfter; })) << readText(folder_ / "host.txt");
        fs::copy_file(stray, folder_ / "in" / "no_pixel_data.dcm");
    }
    for (std::size_t k = 0; k < scanners.size(); ++k)
        ASSERT_EQ(scanners[k]->wait(120.0), 0) << readText(folder_ / ("scanner" + std::to_string(k) + ".txt"));
    ASSERT_TRUE(waitFor([&] { return hostSaid("Live view stays at"); }, 120.0)) << readText(folder_ / "host.txt");

    const nlohmann::json session = nlohmann::json::parse(readText(folder_ / "out" / "session.json"));
    ASSERT_EQ(session["series"].size(), series.size()) << session.dump(2);
    std::size_t k = 0;
    for (const Played& p : order.played) {
        if (std::string(p.series) == "no pixel data") continue;
        const nlohmann::json& entry = session["series"][k];
        SCOPED_TRACE(p.series);
        EXPECT_EQ(entry["files"], std::distance(fs::directory_iterator(series[k]), fs::directory_iterator()));
        if (p.notRun != nullptr) {
            EXPECT_EQ(entry["state"], "skipped") << entry;
            EXPECT_NE(entry["reason"].get<std::string>().find(p.notRun), std::string::npos) << entry;
        } else {
            EXPECT_EQ(entry["state"], "complete") << entry;
            const fs::path run = folder_ / "out" / entry["folder"].get<std::string>();
            const korvanth::NiftiSeries reference =
                expectAsDcm2niix(run / "bold.nii.gz", series[k], folder_ / ("dcm2niix" + std::to_string(k)));
            EXPECT_EQ(entry["volumes"], reference.volumes.size()) << entry;
        }
        ++k;
    }
    expectEveryFilePlaced(session);
    if (strayAfter > 0) {
        EXPECT_EQ(session["files"]["ignored"]["no pixel data"], 1) << session.dump(2);
    }
    expectServedSession(session);
    host->signal(SIGINT);
    EXPECT_EQ(host->wait(60.0), 0) << readText(folder_ / "host.txt");
}

const char* const xa = "vendors/siemens_xa30_interop_bold";
const char* const slices = "vendors/ge_epirt_slices";
const char* const mosaic = "siemens_mosaic_ep2d";
INSTANTIATE_TEST_SUITE_P(
    SharedSeries, SessionOrders,
    ::testing::Values(
        SessionOrder{"XaFirstThenSlicesAndMosaic", {{xa, nullptr}, {slices, nullptr}, {mosaic, nullptr}}, false},
        SessionOrder{"ASingleVolumeAndDiffusionThenXaBetweenRuns",
                     {{"vendors/siemens_mosaic_jpeg_lossless", "single volume"},
                      {"vendors/canon_enhanced_series", "diffusion"},
                      {mosaic, nullptr},
                      {"no pixel data", nullptr},
                      {xa, nullptr},
                      {"vendors/philips_classic_fmri_oblique", nullptr}},
                     false},
        SessionOrder{"SlicesFirstXaLast",
                     {{slices, nullptr}, {"no pixel data", nullptr}, {"vendors/uih_vframe", nullptr}, {xa, nullptr}},
                     false},
        SessionOrder{"TwoSeriesInterleavedFileByFile", {{mosaic, nullptr}, {slices, nullptr}}, true}),
    [](const ::testing::TestParamInfo<SessionOrder>& param) { return std::string(param.param.name); });

}  // namespace
#endif
