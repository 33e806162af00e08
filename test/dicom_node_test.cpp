// Korvanth as a DICOM node, pushed to by DCMTK's echoscu and storescu (and
// GDCM's gdcmscu, a second client) as a scanner pushes: the runs it makes of
// pushed series, and what it refuses.
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include "test/korvanth_runner.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <regex>
#include <thread>

namespace {

using namespace korvanth_test;

const fs::path dicomDir = fs::path(TARVEX_SHARED_DATA_DIR) / "dicom";
const fs::path mosaicSeries = dicomDir / "siemens_mosaic_ep2d";
const fs::path sliceSeries = dicomDir / "vendors" / "ge_epirt_slices";
const fs::path gdcmSeries = dicomDir / "vendors" / "philips_classic_fmri_oblique";
const fs::path gdcmscu = "/usr/bin/gdcmscu";

// A port no one listens on now.
int freePort() {
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(probe, reinterpret_cast<sockaddr*>(&address), length);
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    close(probe);
    return ntohs(address.sin_port);
}

std::vector<fs::path> filesOf(const fs::path& folder) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

class DicomNode : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"/usr/bin/storescu", "/usr/bin/echoscu", "/usr/bin/dcmodify"})
            if (!fs::exists(tool)) GTEST_SKIP() << tool << " missing (Debian package dcmtk)";
        for (const fs::path& series : {mosaicSeries, sliceSeries})
            if (!fs::exists(series)) GTEST_SKIP() << "shared data missing: " << series;
        folder_ = freshFolder("dicom_node");
        port_ = std::to_string(freePort());
    }
    void TearDown() override {
        if (!mounted_.empty()) umount2(mounted_.c_str(), MNT_DETACH);
        if (!folder_.empty()) fs::remove_all(folder_);
    }

    // A DCMTK client's exit code, its words appended to the folder's log.
    int client(const std::string& tool, const std::string& options, const std::string& file = "") const {
        const std::string command = "/usr/bin/" + tool + " -v " + options + " 127.0.0.1 " + port_ + " " + file +
                                    " >> " + quoted((folder_ / "clients.txt").string()) + " 2>&1";
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // GDCM's client, its words appended to `log`. Its exit code says little:
    // Debian's aborts on the association's release after a success.
    void gdcmClient(const std::string& options, const fs::path& log) const {
        const std::string command = gdcmscu.string() + " " + options + " --call KORVANTH --aetitle SCANNER 127.0.0.1 " +
                                    port_ + " >> " + quoted(log.string()) + " 2>&1";
        (void)std::system(command.c_str());
    }
    int push(const fs::path& file, const std::string& caller = "SCANNER") const {
        return client("storescu", "-aet " + caller + " -aec KORVANTH", quoted(file.string()));
    }

    // Korvanth as a node, waiting for the first volume.
    std::unique_ptr<BackgroundProcess> startNode(std::vector<std::string> arguments) const {
        arguments.insert(arguments.end(), {"--dicom-port", port_});
        auto node = backgroundKorvanth(std::move(arguments), folder_ / "node.txt");
        EXPECT_TRUE(node->waitForOutput("waiting for the first volume", 60.0)) << node->output();
        return node;
    }

    // The maps of the watch-folder run of `series`, its files there from the start.
    std::string watchRunMaps(const fs::path& series) const {
        const fs::path watched = folder_ / ("watched_" + series.filename().string());
        fs::create_directories(watched);
        for (const fs::path& file : filesOf(series)) fs::copy_file(file, watched / file.filename());
        const fs::path out = folder_ / ("out_" + series.filename().string());
        const Outcome o = runKorvanth("--watch " + quoted(watched.string()) +
                                      " --include-existing --idle-timeout 2 --out " + quoted(out.string()));
        EXPECT_EQ(o.exitCode, 0) << o.output;
        return readBytes(out / "maps.f32");
    }

    fs::path folder_, mounted_;
    std::string port_;
};

// A series pushed image by image, each in an association of its own and the
// first one twice, is a run of the maps the watch-folder run of its files
// gives, bit for bit: as the one run of a node without --watch (into
// OUT/inbox), and as the runs of a session, one per series pushed, by
// storescu and (where installed) by gdcmscu, whose verification is answered
// success too.
TEST_F(DicomNode, PushedSeriesRunToTheWatchFolderRunsMaps) {
    const std::string mosaicMaps = watchRunMaps(mosaicSeries), sliceMaps = watchRunMaps(sliceSeries);
    ASSERT_FALSE(mosaicMaps.empty());
    ASSERT_FALSE(sliceMaps.empty());
    const fs::path single = folder_ / "single";
    {
        auto node = startNode({"--out", single.string(), "--idle-timeout", "3", "--dicom-allow", "SCANNER", "OTHER"});
        EXPECT_EQ(client("echoscu", "-aet SCANNER -aec KORVANTH"), 0);
        for (const fs::path& file : filesOf(mosaicSeries))
            ASSERT_EQ(push(file), 0) << readBytes(folder_ / "clients.txt");
        EXPECT_EQ(push(filesOf(mosaicSeries).front(), "OTHER"), 0) << "a repeated instance is answered success";
        EXPECT_EQ(node->wait(120.0), 0) << node->output();
    }
    EXPECT_EQ(filesOf(single / "inbox").size(), filesOf(mosaicSeries).size()) << "a repeated instance is kept once";
    EXPECT_TRUE(fs::is_empty(single / "inbox" / ".incoming"));
    EXPECT_TRUE(readBytes(single / "maps.f32") == mosaicMaps);

    const bool withGdcm = fs::exists(gdcmscu) && fs::exists(gdcmSeries);
    const std::string gdcmMaps = withGdcm ? watchRunMaps(gdcmSeries) : "";
    const fs::path session = folder_ / "session", inbox = folder_ / "inbox";
    fs::create_directories(inbox);
    auto node = startNode({"--watch", inbox.string(), "--session", "--session-idle", "6", "--out", session.string()});
    for (const fs::path& file : filesOf(mosaicSeries)) ASSERT_EQ(push(file), 0) << readBytes(folder_ / "clients.txt");
    // The slices in one association, image after image.
    EXPECT_EQ(client("storescu", "-aet SCANNER -aec KORVANTH", quoted(sliceSeries.string()) + "/*.dcm"), 0)
        << readBytes(folder_ / "clients.txt");
    if (withGdcm) {
        const fs::path echoed = folder_ / "gdcm_echo.txt";
        gdcmClient("-D --echo", echoed);
        EXPECT_TRUE(std::regex_search(readBytes(echoed), std::regex(R"(\(0000,0900\) \S+ \(US\) 0 +# 2,1 Status)")))
            << "gdcmscu's C-ECHO not answered success:\n"
            << readBytes(echoed);
        gdcmClient("--store -r -i " + quoted(gdcmSeries.string()), folder_ / "clients.txt");
    }
    EXPECT_EQ(node->wait(300.0), 0) << node->output();
    std::map<std::string, int> runsOf;
    for (const auto& run : fs::directory_iterator(session))
        if (fs::exists(run.path() / "maps.f32")) ++runsOf[readBytes(run.path() / "maps.f32")];
    EXPECT_EQ(runsOf.size(), withGdcm ? 3u : 2u) << node->output();
    EXPECT_EQ(runsOf[mosaicMaps], 1) << "the mosaic series' run";
    EXPECT_EQ(runsOf[sliceMaps], 1) << "the slice series' run";
    if (!withGdcm)
        GTEST_SKIP() << "not pushed by gdcmscu: " << gdcmscu << " (Debian package libgdcm-tools) or " << gdcmSeries
                     << " missing";
    EXPECT_FALSE(gdcmMaps.empty());
    EXPECT_EQ(runsOf[gdcmMaps], 1) << "the series gdcmscu pushed\n" << readBytes(folder_ / "clients.txt");
}

// What the node refuses, and that it keeps serving: a calling AE title not
// allowed, another called AE title, a storage class other than MR (at
// negotiation), an MR data set without an image (cannot understand, 0xC000),
// a client that stops mid-association, more concurrent associations than the
// bound (the scanner retries the refused ones: all are served), and a full
// disk (out of resources, 0xA700; nothing half-written in the inbox).
TEST_F(DicomNode, RefusesWhatItCannotKeepAndServesTheRest) {
    const fs::path inbox = folder_ / "inbox";
    fs::create_directories(inbox);
    const bool small = getuid() == 0 && mount("tmpfs", inbox.c_str(), "tmpfs", 0, "size=2m") == 0;
    if (small) mounted_ = inbox;
    auto node = startNode({"--watch", inbox.string(), "--idle-timeout", "600", "--out", (folder_ / "out").string(),
                           "--dicom-allow", "SCANNER"});
    const fs::path mr = filesOf(sliceSeries).front();
    EXPECT_NE(client("echoscu", "-aet INTRUDER -aec KORVANTH"), 0);
    EXPECT_NE(client("echoscu", "-aet SCANNER -aec ELSEWHERE"), 0);
    EXPECT_TRUE(node->waitForOutput("INTRUDER: not among --dicom-allow", 10.0)) << node->output();
    const fs::path ct = folder_ / "ct.dcm", empty = folder_ / "empty.dcm";
    fs::copy_file(mr, ct);
    fs::copy_file(mr, empty);
    ASSERT_EQ(std::system(("/usr/bin/dcmodify -nb -m '(0008,0016)=1.2.840.10008.5.1.4.1.1.2' -gin " +
                           quoted(ct.string()) + " > /dev/null 2>&1")
                              .c_str()),
              0);
    ASSERT_EQ(
        std::system(
            ("/usr/bin/dcmodify -nb -e '(7fe0,0010)' -gin " + quoted(empty.string()) + " > /dev/null 2>&1").c_str()),
        0);
    EXPECT_NE(push(ct), 0);
    EXPECT_NE(push(empty), 0);
    EXPECT_NE(readBytes(folder_ / "clients.txt").find("CannotUnderstand"), std::string::npos);
    EXPECT_TRUE(filesOf(inbox).empty()) << "nothing refused is kept";

    // A client that sends half an association request and dies, and one that stays silent.
    int silent = -1;
    for (const bool dies : {true, false}) {
        const int peer = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(std::stoi(port_)));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(peer, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        const unsigned char half[] = {0x01, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x01};
        ASSERT_EQ(send(peer, half, sizeof half, 0), static_cast<ssize_t>(sizeof half));
        if (dies) close(peer);
        silent = peer;
    }

    std::vector<fs::path> slices = filesOf(sliceSeries);
    slices.resize(12);
    std::vector<std::thread> scanners;
    for (const fs::path& slice : slices)
        scanners.emplace_back([this, slice] {
            for (int attempt = 0; attempt < 50 && push(slice) != 0; ++attempt)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        });
    for (std::thread& scanner : scanners) scanner.join();
    EXPECT_EQ(filesOf(inbox).size(), slices.size()) << node->output();
    close(silent);

    if (small) {
        int refused = 0;
        for (const fs::path& file : filesOf(mosaicSeries)) refused += push(file) != 0;
        EXPECT_GT(refused, 0);
        EXPECT_NE(readBytes(folder_ / "clients.txt").find("Refused: OutOfResources"), std::string::npos);
        EXPECT_TRUE(fs::is_empty(inbox / ".incoming")) << "a failed write leaves nothing";
        const std::uintmax_t mosaicBytes = fs::file_size(filesOf(mosaicSeries).front());
        for (const fs::path& kept : filesOf(inbox))
            EXPECT_TRUE(fs::file_size(kept) > mosaicBytes - 4096 || fs::file_size(kept) < 100000) << kept;
    }
    node->signal(SIGINT);
    EXPECT_NE(node->wait(60.0), -1) << "Ctrl-C ends the node with its run";
}

}  // namespace
