// The DICOM node's latency as a scanner sees it: the built Korvanth runs a
// session as a node (--dicom-port, --session), and DCMTK's storescu pushes
// the series given, one after another, each volume's files in one
// association every TR, as a scanner's real-time send does. Per volume, from
// the last image of the volume received (its file's last write, when the node
// staged it) to its maps handed to the outputs, as each run's timing.csv has
// it; printed per run and over the session, median and 95th percentile, as
// Korvanth prints them. A session begins a run once a series has shown
// --min-volumes volumes: the ones before wait for it, and are counted apart.
//
//   dicom_node_latency [--tr 2] [--pause 4] [--min-volumes 3] [--port 11112] [--korvanth PATH] [--keep]
//                      SERIES_FOLDER...
#include "korvanth/app/scanner.h"
#include "korvanth/run/statistics.h"
#include "test/child_process.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Options {
    std::string korvanth = KORVANTH_PATH;
    double tr = 2.0;
    double pause = 4.0;  // between the last volume of a series and the first of the next
    std::string minVolumes = "3";
    std::string port = "11112";
    bool keep = false;  // keep the session's outputs
    std::vector<std::string> series;
};

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool valued = i + 1 < argc;
        if (a == "--tr" && valued)
            o.tr = std::atof(argv[++i]);
        else if (a == "--pause" && valued)
            o.pause = std::atof(argv[++i]);
        else if (a == "--port" && valued)
            o.port = argv[++i];
        else if (a == "--min-volumes" && valued)
            o.minVolumes = argv[++i];
        else if (a == "--korvanth" && valued)
            o.korvanth = argv[++i];
        else if (a == "--keep")
            o.keep = true;
        else if (a.rfind("--", 0) == 0)
            return false;
        else
            o.series.push_back(a);
    }
    return !o.series.empty() && o.tr > 0.0;
}

std::string quoted(const std::string& text) { return "'" + text + "'"; }

// Pushes the files in one association; false when storescu says it failed.
bool push(const Options& o, const std::vector<std::string>& files, const fs::path& log) {
    std::string command = "storescu -aet SCANNER -aec KORVANTH 127.0.0.1 " + o.port;
    for (const std::string& file : files) command += " " + quoted(file);
    command += " >> " + quoted(log.string()) + " 2>&1";
    return std::system(command.c_str()) == 0;
}

// Plays one series: volume v's files pushed at `start` + v TR.
bool playSeries(const Options& o, const std::string& series, const fs::path& scratch, const fs::path& log) {
    std::vector<korvanth::VolumeFileBytes> files;
    std::string error;
    if (!korvanth::scannerFiles(series, 1, files, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return false;
    }
    const Clock::time_point start = Clock::now();
    for (std::size_t i = 0; i < files.size();) {
        const int32_t volume = files[i].volume;
        const fs::path folder = scratch / ("volume_" + std::to_string(volume));
        fs::create_directories(folder);
        std::vector<std::string> paths;
        for (; i < files.size() && files[i].volume == volume; ++i) {
            paths.push_back((folder / files[i].name).string());
            std::ofstream(paths.back(), std::ios::binary).write(files[i].bytes.data(), files[i].bytes.size());
        }
        std::this_thread::sleep_until(
            start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.tr * volume)));
        if (!push(o, paths, log)) {
            std::fprintf(stderr, "storescu failed on volume %d of %s (see %s)\n", volume + 1, series.c_str(),
                         log.c_str());
            return false;
        }
    }
    return true;
}

// The latency_seconds column of a run's timing.csv, in milliseconds.
std::vector<double> latenciesOf(const fs::path& timingCsv) {
    std::ifstream in(timingCsv);
    std::string line;
    std::vector<double> ms;
    std::getline(in, line);  // the header
    while (std::getline(in, line)) {
        std::stringstream fields(line);
        std::string field;
        for (int column = 0; column < 4 && std::getline(fields, field, ','); ++column) {}
        if (!field.empty()) ms.push_back(std::atof(field.c_str()) * 1000.0);
    }
    return ms;
}

void printLatency(const std::string& what, const std::vector<double>& ms, double tr) {
    if (ms.empty()) return;
    const double middle = korvanth::median(ms), p95 = korvanth::nearestRankPercentile(ms, 0.95);
    std::printf("%s: %zu volumes, median %.1f ms (%.2f%% of the TR), 95th percentile %.1f ms (%.2f%%)\n", what.c_str(),
                ms.size(), middle, 100.0 * middle / (tr * 1000.0), p95, 100.0 * p95 / (tr * 1000.0));
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, o)) {
        std::fprintf(stderr,
                     "usage: dicom_node_latency [--tr S] [--pause S] [--min-volumes N] [--port P] [--korvanth PATH] "
                     "[--keep] "
                     "SERIES_FOLDER...\n");
        return 2;
    }
    const fs::path work = fs::temp_directory_path() / ("dicom-node-latency-" + std::to_string(::getpid()));
    const fs::path out = work / "session", log = work / "storescu.txt";
    fs::create_directories(work);
    const std::string idle = std::to_string(o.pause + o.tr + 4.0);
    tarvex_test::ChildProcess node({o.korvanth, "--dicom-port", o.port, "--session", "--session-idle", idle,
                                    "--min-volumes", o.minVolumes, "--out", out.string()});
    std::string line;
    while (node.readLine(line) && line.find("waiting for the first volume") == std::string::npos) {}
    bool played = true;
    for (std::size_t s = 0; played && s < o.series.size(); ++s) {
        if (s > 0) std::this_thread::sleep_for(std::chrono::duration<double>(o.pause));
        played = playSeries(o, o.series[s], work / ("series_" + std::to_string(s)), log);
    }
    while (node.readLine(line)) {}
    const int ended = node.end(SIGTERM);
    std::vector<double> all, begun;
    const std::size_t readAhead = static_cast<std::size_t>(std::max(1, std::atoi(o.minVolumes.c_str())) - 1);
    for (const fs::directory_entry& run : fs::directory_iterator(out)) {
        const std::vector<double> ms = latenciesOf(run.path() / "timing.csv");
        printLatency(run.path().filename().string(), ms, o.tr);
        all.insert(all.end(), ms.begin(), ms.end());
        if (ms.size() > readAhead) begun.insert(begun.end(), ms.begin() + readAhead, ms.end());
    }
    printLatency("session, every volume", all, o.tr);
    printLatency("session, from each run's start (the volumes read ahead left out)", begun, o.tr);
    if (!o.keep)
        fs::remove_all(work);
    else
        std::printf("outputs kept in %s\n", work.c_str());
    return played && ended == 0 && !all.empty() ? 0 : 1;
}
