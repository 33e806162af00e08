// Korvanth met as a careless or hostile user meets it: damaged and crafted
// inputs, impossible options, interrupted runs. Every refusal exits with 2,
// names the input and the problem, and leaves the out folder as it was; an
// interrupted run leaves either its earlier results or complete new ones.
#include <gtest/gtest.h>

#include "korvanth/outputs/output_folder.h"
#include "korvanth/outputs/session_record.h"
#include "korvanth_runner.h"

#include <nifti2_io.h>
#include <zlib.h>
#include <nlohmann/json.hpp>

#include <cstring>
#include <map>
#include <set>
#include <utility>
#include <vector>

namespace {

using namespace korvanth_test;

void writeBytes(const fs::path& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

std::string gzipped(const std::string& bytes) {
    const fs::path path = fs::temp_directory_path() / ("korvanth_gzip_" + std::to_string(getpid()) + ".gz");
    gzFile file = gzopen(path.c_str(), "wb");
    gzwrite(file, bytes.data(), static_cast<unsigned>(bytes.size()));
    gzclose(file);
    const std::string compressed = readBytes(path);
    fs::remove(path);
    return compressed;
}

// A single-file NIfTI-1 series of int16 with pseudo-random data; `edit`
// changes the header before it is written.
template <typename Edit>
std::string niftiOne(const std::vector<int64_t>& dims, Edit edit) {
    int64_t shape[8] = {4, 1, 1, 1, 1, 1, 1, 1};
    for (std::size_t i = 0; i < dims.size(); ++i) shape[i + 1] = dims[i];
    nifti_1_header* header = nifti_make_new_n1_header(shape, NIFTI_TYPE_INT16);
    header->vox_offset = 352.0f;
    std::memcpy(header->magic, "n+1", 4);
    int64_t voxels = 1;
    for (int64_t d : dims) voxels *= d;
    edit(*header);
    std::string bytes(reinterpret_cast<const char*>(header), sizeof *header);
    std::free(header);
    bytes.append(4, '\0');  // no extensions
    for (int64_t i = 0; i < voxels; ++i) {
        const auto value = static_cast<int16_t>(150 + (i * 7919) % 997);
        bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
    }
    return bytes;
}

// A NIfTI-2 header alone with the given dimensions.
std::string niftiTwoHeader(const std::vector<int64_t>& dims) {
    int64_t shape[8] = {4, 1, 1, 1, 1, 1, 1, 1};
    for (std::size_t i = 0; i < dims.size(); ++i) shape[i + 1] = dims[i];
    nifti_2_header* header = nifti_make_new_n2_header(shape, NIFTI_TYPE_INT16);
    for (std::size_t i = 0; i < dims.size(); ++i)
        header->dim[i + 1] = dims[i];  // unchecked, as a crafted file has them
    header->vox_offset = 544;
    std::memcpy(header->magic, "n+2\0\r\n\032\n", 8);
    std::string bytes(reinterpret_cast<const char*>(header), sizeof *header);
    std::free(header);
    return bytes + std::string(4, '\0');
}

using Hostile = RefusalTest;

TEST_F(Hostile, DamagedOrCraftedSeriesAreRefusedBeforeTheRun) {
    struct Case {
        const char* name;
        std::string bytes;
        const char* problem;
    };
    const std::string good = niftiOne({8, 8, 4, 6}, [](nifti_1_header&) {});
    const std::string goodGz = gzipped(good);
    std::string badChecksum = goodGz;
    badChecksum[badChecksum.size() - 6] ^= 0x5a;  // the gzip trailer's CRC
    const Case cases[] = {
        {"negative.nii", niftiOne({8, 8, 4, 6}, [](nifti_1_header& h) { h.dim[2] = -3; }), "dimension 2 is -3"},
        {"low_offset.nii", niftiOne({8, 8, 4, 6}, [](nifti_1_header& h) { h.vox_offset = 100.0f; }),
         "data starts at byte 352 or later"},
        {"short.nii", good.substr(0, good.size() - 100), "the voxel data is truncated"},
        {"cut.nii.gz", goodGz.substr(0, goodGz.size() * 3 / 4), "truncated or corrupt"},
        {"checksum.nii.gz", badChecksum, "truncated or corrupt"},
        {"time_2_56.nii", niftiTwoHeader({4, 4, 4, int64_t{1} << 56}), "the host takes at most"},
        {"wrapping.nii", niftiTwoHeader({int64_t{1} << 31, int64_t{1} << 31, int64_t{1} << 31, 3}),
         "too large for the host"},
    };
    for (const Case& c : cases) {
        const fs::path path = folder / c.name;
        writeBytes(path, c.bytes);
        expectRefused("--bold " + quoted(path.string()), "error: " + path.string(), c.problem);
    }
    // A folder is read as DICOM files, and holds none.
    expectRefused("--bold " + quoted(folder.string()), "error: " + folder.string(),
                  "no complete volume in 0 DICOM files");

    // Motion that the host's log cannot carry, and a motion "file" without end.
    const fs::path bold = folder / "good.nii";
    writeBytes(bold, good);
    const fs::path huge = folder / "rp_huge.txt";
    writeBytes(huge, "0 0 0 0 0 0\n0 0 0 1e307 0 0\n0 0 0 0 0 0\n0 0 0 0 0 0\n0 0 0 0 0 0\n0 0 0 0 0 0\n");
    expectRefused("--bold " + quoted(bold.string()) + " --motion " + quoted(huge.string()),
                  "error: " + huge.string() + ", line 2, column 4", "cannot be written to the host's motion log");
    expectRefused("--bold " + quoted(bold.string()) + " --motion /dev/zero --motion-format plain", "error: /dev/zero",
                  "is not a regular file");
}

// The checks read the header in the file's byte order: a big-endian series
// is the same run as its little-endian twin.
TEST_F(Hostile, BigEndianSeriesReadsAsItsLittleEndianTwin) {
    const std::string little = niftiOne({8, 8, 4, 6}, [](nifti_1_header&) {});
    std::string big = little;
    swap_nifti_header(big.data(), 1);
    nifti_swap_2bytes(static_cast<int64_t>((big.size() - 352) / 2), big.data() + 352);
    writeBytes(folder / "little.nii", little);
    writeBytes(folder / "big.nii", big);
    for (const char* name : {"little", "big"}) {
        const Outcome o = runKorvanth("--bold " + quoted((folder / (std::string(name) + ".nii")).string()) +
                                      " --motion none --project run --out " + quoted((folder / name).string()));
        ASSERT_EQ(o.exitCode, 0) << o.output;
    }
    EXPECT_TRUE(readBytes(folder / "little" / "maps.f32") == readBytes(folder / "big" / "maps.f32"));
}

TEST_F(Hostile, ImpossibleOptionsExitWithTwoNamingTheOption) {
    for (const char* option : {"--tr", "--noise", "--drift", "--motion-scale", "--voxel-size"})
        expectRefused(std::string(option) + " nan", option, "is not a finite number");
    expectRefused("--no-such-option", "--no-such-option", "was not expected");
    expectRefused("--dims 0 8 8", "--dims", "not in range");
    expectRefused("--project a/b", "--project 'a/b'", "path separator");
    expectRefused("--project ..", "--project '..'", "not a file name");
    expectRefused("--project \"$(printf 'two\\nlines')\"", "--project 'two", "control character");
    expectRefused("--project " + std::string(700, 'p'), "--project 'ppp", "at most 600");
    expectRefused("--dims 1024 1024 1024 --volumes 100000", "--dims 1024 1024 1024 with --volumes 100000", "of memory");
    // An empty folder to watch is no folder (it ran the synthetic run).
    expectRefused("--watch ''", "--watch", "not an empty name");
    // A live run says an out folder it cannot write before it waits for the
    // scan (it said so only once the first volume had come).
    fs::create_directories(folder / "in");
    const Outcome unwritable = runKorvanth("--watch " + quoted((folder / "in").string()) + " --idle-timeout 60 --out " +
                                           quoted((out / "kept.txt" / "out").string()));
    EXPECT_EQ(unwritable.exitCode, 2) << unwritable.output;
    EXPECT_NE(unwritable.output.find((out / "kept.txt" / "out").string() + ": cannot create the out folder"),
              std::string::npos)
        << unwritable.output;
    EXPECT_EQ(unwritable.output.find("waiting for the first volume"), std::string::npos) << unwritable.output;
}

// The out folder holds one run's results: a new run removes the files of
// the one before that it does not write itself, keeps files that are not
// Korvanth's, and clears staging folders that dead runs left behind.
TEST_F(Hostile, ANewRunReplacesTheEarlierResultsWhole) {
    const std::string small = " --dims 10 10 6 --volumes 5 --out " + quoted(out.string());
    ASSERT_EQ(runKorvanth("--project first" + small).exitCode, 0);
    ASSERT_TRUE(fs::exists(out / "first_3DMC.log"));
    fs::create_directories(out / ".korvanth-staging-999999999");  // no process has that id
    writeBytes(out / ".korvanth-staging-999999999" / "maps.f32", "half");
    const Outcome second = runKorvanth("--project second" + small);
    ASSERT_EQ(second.exitCode, 0) << second.output;
    const std::set<std::string> left = entriesOf(out);
    EXPECT_EQ(left.count("first_3DMC.log"), 0u);
    EXPECT_EQ(left.count("second_3DMC.log"), 1u);
    EXPECT_EQ(left.count("kept.txt"), 1u);
    for (const std::string& name : left) {
        EXPECT_TRUE(name == ".korvanth-results" || name[0] != '.') << name;
        if (name != "kept.txt" && name[0] != '.') {
            EXPECT_NE(second.output.find(" " + name), std::string::npos) << name << " not listed";
        }
    }
    EXPECT_EQ(second.output.find("kept.txt"), std::string::npos) << "a foreign file listed as written";
}

// A session.json left in the out folder: one an earlier start left mid-run is
// read back whole, its cut run failed; one a session cannot go on with
// (damaged, another program's, kept with other FD thresholds) is named and
// kept as it was, and the start ends with 2.
TEST_F(Hostile, ASessionRecordIsGoneOnWithOrKeptAsItWas) {
    using namespace korvanth;
    std::string error;
    SessionRecord left(out.string(), defaultFdThresholds, 30.0);
    SessionEntry run{
        5, "rest", "005_rest", "complete", "", summarizeRun({0.0, 0.1, 0.3, 0.6}, 2.0, defaultFdThresholds), "", -1};
    SessionEntry cut = run;
    cut.folder = "005_rest_2";
    cut.state = "running";
    ASSERT_TRUE(left.add(run, error) && left.add(cut, error)) << error;
    const std::string record = readBytes(out / "session.json");
    SessionRecord back(out.string(), defaultFdThresholds, 30.0);
    bool found = false;
    ASSERT_TRUE(back.load(found, error) && found) << error;
    ASSERT_EQ(back.entries().size(), 2u);
    EXPECT_EQ(back.entries()[1].state, "failed");
    EXPECT_EQ(back.toJson()["series"][0], left.toJson()["series"][0]);
    EXPECT_EQ(back.toJson()["low_motion"], left.toJson()["low_motion"]);

    fs::create_directories(folder / "in");
    const std::string start =
        "--watch " + quoted((folder / "in").string()) + " --session --session-idle 1 --out " + quoted(out.string());
    for (const auto& [kept, options] :
         std::vector<std::pair<std::string, std::string>>{{record.substr(0, record.size() / 2), ""},
                                                          {"{\"series\": \"not a list\", \"low_motion\": []}\n", ""},
                                                          {record, " --fd-thresholds 0.3 0.5"}}) {
        writeBytes(out / "session.json", kept);
        const Outcome o = runKorvanth(start + options);
        EXPECT_EQ(o.exitCode, 2) << o.output;
        EXPECT_NE(o.output.find((out / "session.json").string()), std::string::npos) << o.output;
        EXPECT_EQ(readBytes(out / "session.json"), kept);
    }
}

// A first stop signal ends the run after the volume in hand and commits
// complete results marked partial; a second one ends Korvanth at once and
// leaves the earlier results as they were.
TEST_F(Hostile, StopSignalsNeverLeaveAMix) {
    const std::vector<std::string> paced = {"--out",     out.string(), "--dims",     "10",   "10",  "6",
                                            "--volumes", "400",        "--realtime", "--tr", "0.02"};
    {
        auto started = backgroundKorvanth(paced, folder / "first.txt");
        BackgroundProcess& run = *started;
        ASSERT_TRUE(run.started());
        ASSERT_TRUE(run.waitForOutput("Processing project", 30.0)) << run.output();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        run.signal(SIGTERM);
        EXPECT_EQ(run.wait(), 5) << run.output();
        EXPECT_NE(run.output().find(" of 400 volumes (stopped on request)"), std::string::npos) << run.output();
    }
    EXPECT_NE(readBytes(out / "maps.json").find("\"complete\": false"), std::string::npos);
    EXPECT_NE(readBytes(out / "report.html").find("Partial run"), std::string::npos);
    const std::set<std::string> committed = entriesOf(out);
    const std::string maps = readBytes(out / "maps.f32");
    ASSERT_FALSE(maps.empty());
    for (const std::string& name : committed) EXPECT_EQ(name.rfind(".korvanth-staging", 0), std::string::npos);

    {
        std::vector<std::string> other = paced;
        other.insert(other.end(), {"--seed", "9"});
        auto started = backgroundKorvanth(other, folder / "second.txt");
        BackgroundProcess& run = *started;
        ASSERT_TRUE(run.waitForOutput("Processing project", 30.0)) << run.output();
        run.signal(SIGINT);
        run.signal(SIGTERM);  // another kind: two pending signals of one kind would merge into one
        EXPECT_EQ(run.wait(), 130) << run.output();
    }
    std::set<std::string> after = entriesOf(out);
    for (auto it = after.begin(); it != after.end();)
        it = it->rfind(".korvanth-staging", 0) == 0 ? after.erase(it) : std::next(it);
    EXPECT_EQ(after, committed);
    EXPECT_TRUE(readBytes(out / "maps.f32") == maps) << "maps.f32 changed";
}

// A commit cut at each of its renames in turn (the rename fails there, as if
// the process died): the next run into the folder finishes or undoes it, and
// the folder then holds exactly one whole run, the earlier or the new one,
// beside the files that are not Korvanth's. The new run shares a name with the
// earlier one and writes one after it, so a cut can fall after the shared
// name was moved in.
TEST_F(Hostile, ACommitCutAtAnyRenameLeavesOneWholeRun) {
    using Files = std::map<std::string, std::string>;
    const Files earlier = {{"a.dat", "earlier a"}, {"shared.json", "earlier shared"}};
    const Files later = {{"b.dat", "later b"}, {"shared.json", "later shared"}, {"z.dat", "later z"}};
    const auto commitRun = [&](korvanth::OutputFolder& results, const Files& files) {
        std::string error;
        EXPECT_TRUE(results.begin(out.string(), error)) << error;
        for (const auto& [name, bytes] : files) writeBytes(fs::path(results.stagingFolder()) / name, bytes);
        std::vector<std::string> written;
        return results.commit(written, error);
    };
    const auto holds = [&](const Files& files) {
        std::set<std::string> expected = {"kept.txt", ".korvanth-results"};
        for (const auto& [name, bytes] : files) {
            expected.insert(name);
            if (readBytes(out / name) != bytes) return false;
        }
        std::string manifest;
        for (const auto& [name, bytes] : files) manifest += name + "\n";
        return entriesOf(out) == expected && readBytes(out / ".korvanth-results") == manifest;
    };
    int cuts = 0, keptEarlier = 0, finishedLater = 0;
    for (int cut = 0;; ++cut) {
        SCOPED_TRACE("cut at rename " + std::to_string(cut));
        for (const std::string& name : entriesOf(out))
            if (name != "kept.txt") fs::remove_all(out / name);
        korvanth::OutputFolder first;
        ASSERT_TRUE(commitRun(first, earlier));
        ASSERT_TRUE(holds(earlier));
        int renames = 0;
        korvanth::OutputFolder cutShort([&](const fs::path& from, const fs::path& to, std::error_code& failed) {
            if (renames++ == cut)
                failed = std::make_error_code(std::errc::io_error);
            else
                fs::rename(from, to, failed);
        });
        if (commitRun(cutShort, later)) {
            EXPECT_TRUE(holds(later));
            break;
        }
        ++cuts;
        korvanth::OutputFolder next;
        std::string error;
        ASSERT_TRUE(next.begin(out.string(), error)) << error;
        next.discard();
        if (holds(earlier))
            ++keptEarlier;
        else if (holds(later))
            ++finishedLater;
        else
            ADD_FAILURE() << "neither run whole: " << ::testing::PrintToString(entriesOf(out));
    }
    EXPECT_EQ(cuts, 7);  // into the commit folder, 2 aside, 3 in, the manifest
    EXPECT_EQ(keptEarlier, 1);
    EXPECT_EQ(finishedLater, 6);
}

// A run outlives its terminal. Its output read by `head -1`, which then
// ends: the run goes on and commits complete results (a write to the closed
// pipe used to end it, exit 141). A closed terminal (SIGHUP, which the shell
// that ends sends again) stops it like SIGTERM, with complete results marked
// partial (it used to end at once, exit 129); started under nohup (SIGHUP
// ignored), it runs to its end.
TEST_F(Hostile, AClosedTerminalNeverLosesTheRun) {
    const std::string command = "set -o pipefail; '" + std::string(KORVANTH_PATH) + "' --plugin '" +
                                TARVEX_PLUGIN_PATH + "' --dims 10 10 6 --volumes 30 --realtime --tr 0.01 --out '" +
                                out.string() + "' 2>&1 | head -1";
    std::FILE* pipe = popen(("bash -c \"" + command + "\"").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char line[4096];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {}
    const int status = pclose(pipe);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
    EXPECT_NE(readBytes(out / "maps.json").find("\"complete\": true"), std::string::npos);

    const std::vector<std::string> paced = {"--out",     out.string(), "--dims",     "10",   "10",  "6",
                                            "--volumes", "300",        "--realtime", "--tr", "0.02"};
    {
        auto started = backgroundKorvanth(paced, folder / "hangup.txt");
        BackgroundProcess& run = *started;
        ASSERT_TRUE(run.waitForOutput("Processing project", 30.0)) << run.output();
        run.signal(SIGHUP);
        run.signal(SIGHUP);
        EXPECT_EQ(run.wait(), 5) << run.output();
        EXPECT_NE(run.output().find(" of 300 volumes (stopped on request)"), std::string::npos) << run.output();
    }
    EXPECT_NE(readBytes(out / "maps.json").find("\"complete\": false"), std::string::npos);

    std::vector<std::string> shortRun = paced;
    shortRun[7] = "30";
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGHUP, &ignore, &previous);  // as nohup starts it
    auto started = backgroundKorvanth(shortRun, folder / "nohup.txt");
    sigaction(SIGHUP, &previous, nullptr);
    BackgroundProcess& run = *started;
    ASSERT_TRUE(run.waitForOutput("Processing project", 30.0)) << run.output();
    run.signal(SIGHUP);
    EXPECT_EQ(run.wait(), 0) << run.output();
    EXPECT_NE(readBytes(out / "maps.json").find("\"complete\": true"), std::string::npos);
}

}  // namespace
