// Does watching the run slow it? Runs the built Korvanth with its live view,
// paced at the TR, with no client and then with N clients that follow every
// event (with --pages each also fetches the eight map images after a volume,
// at most every 400 ms, as the page does), alternating, and compares the
// median plug-in step latency that the run wrote into timing.csv.
//
//   live_view_latency [--clients 20] [--volumes 150] [--tr 0.1] [--repeats 3] [--dims 64 64 33] [--pages]
//                     [--unpaced] [--korvanth PATH] [--plugin PATH]
#include "test/child_process.h"

#include <httplib.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Options {
    std::string korvanth = KORVANTH_PATH;
    std::string plugin = TARVEX_PLUGIN_PATH;
    int clients = 20;
    int volumes = 150;
    double tr = 0.1;
    int repeats = 3;
    std::string dims[3] = {"64", "64", "33"};
    bool pages = false;
    bool paced = true;
};

struct RunResult {
    std::vector<double> stepMs;
    int clientsComplete = 0;  // clients that saw every volume and the end
};

double percentile(std::vector<double> values, double q) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    const double position = q * static_cast<double>(values.size() - 1);
    const auto below = static_cast<std::size_t>(position);
    const std::size_t above = std::min(below + 1, values.size() - 1);
    return values[below] + (values[above] - values[below]) * (position - static_cast<double>(below));
}

// One event stream followed to its end; with `pages`, the eight maps are fetched
// after a volume as the page does: at most every 400 ms.
void followEvents(int port, bool pages, int volumes, std::atomic<int>& complete) {
    httplib::Client events("127.0.0.1", port);
    httplib::Client maps("127.0.0.1", port);
    events.set_read_timeout(120, 0);
    std::string pending;
    int seen = 0;
    bool ended = false;
    auto mapsFetched = std::chrono::steady_clock::now() - std::chrono::seconds(1);
    events.Get("/events", [&](const char* data, std::size_t length) {
        pending.append(data, length);
        for (std::size_t at; (at = pending.find("\n\n")) != std::string::npos; pending.erase(0, at + 2)) {
            const std::string event = pending.substr(0, at);
            if (event.find("event: volume\n") != std::string::npos) {
                ++seen;
                if (pages && std::chrono::steady_clock::now() - mapsFetched >= std::chrono::milliseconds(400)) {
                    mapsFetched = std::chrono::steady_clock::now();
                    for (int k = 0; k < 8; ++k) maps.Get(("/maps/" + std::to_string(k) + ".png").c_str());
                }
            }
            ended = ended || event.find("event: end\n") != std::string::npos;
        }
        return true;
    });
    if (seen == volumes && ended) ++complete;
}

RunResult runOnce(const Options& o, int clients, const fs::path& out) {
    std::vector<std::string> args{o.korvanth, "--plugin", o.plugin, "--out", out.string(), "--serve", "127.0.0.1:0",
                                  "--linger", "30", "--tr", std::to_string(o.tr), "--volumes",
                                  std::to_string(o.volumes), "--dims", o.dims[0], o.dims[1], o.dims[2]};
    if (o.paced) args.push_back("--realtime");
    tarvex_test::ChildProcess korvanth(args);
    int port = 0;
    std::string line;
    while (port == 0 && korvanth.readLine(line)) std::sscanf(line.c_str(), "Live view: http://127.0.0.1:%d/", &port);
    std::atomic<int> complete{0};
    std::vector<std::thread> followers;
    for (int c = 0; c < clients && port > 0; ++c)
        followers.emplace_back(followEvents, port, o.pages, o.volumes, std::ref(complete));
    // The run ends, the results are written, then the view lingers: the clients have their end events.
    while (korvanth.readLine(line))
        if (line.rfind("Live view stays at", 0) == 0) break;
    for (std::thread& t : followers) t.join();
    korvanth.end(SIGINT);

    RunResult result;
    result.clientsComplete = complete;
    std::ifstream timing(out / "timing.csv");
    std::string row;
    std::getline(timing, row);
    while (std::getline(timing, row)) result.stepMs.push_back(1000.0 * std::strtod(row.c_str() + row.find(',') + 1, nullptr));
    fs::remove_all(out);
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&] { return i + 1 < argc ? std::string(argv[++i]) : std::string(); };
        if (a == "--clients") o.clients = std::stoi(next());
        else if (a == "--volumes") o.volumes = std::stoi(next());
        else if (a == "--tr") o.tr = std::stod(next());
        else if (a == "--repeats") o.repeats = std::stoi(next());
        else if (a == "--dims") for (std::string& d : o.dims) d = next();
        else if (a == "--pages") o.pages = true;
        else if (a == "--unpaced") o.paced = false;
        else if (a == "--korvanth") o.korvanth = next();
        else if (a == "--plugin") o.plugin = next();
        else {
            std::fprintf(stderr, "unknown argument %s\n", a.c_str());
            return 2;
        }
    }
    const fs::path out = fs::temp_directory_path() / ("live_view_latency_" + std::to_string(::getpid()));
    std::printf("Korvanth %s x %s x %s, %d volumes, %s, clients %s; median (p95) step latency in ms\n",
                o.dims[0].c_str(), o.dims[1].c_str(), o.dims[2].c_str(), o.volumes,
                o.paced ? ("paced at TR " + std::to_string(o.tr) + " s").c_str() : "unpaced",
                o.pages ? "follow the events and fetch the 8 maps every 400 ms" : "follow the events");
    std::vector<double> all[2];
    for (int r = 0; r < o.repeats; ++r)
        for (int config = 0; config < 2; ++config) {
            const int clients = config == 0 ? 0 : o.clients;
            const RunResult result = runOnce(o, clients, out);
            all[config].insert(all[config].end(), result.stepMs.begin(), result.stepMs.end());
            std::printf("  run %d, %2d clients: %7.3f (%7.3f) over %zu volumes; %d of %d clients saw every volume\n",
                        r + 1, clients, percentile(result.stepMs, 0.5), percentile(result.stepMs, 0.95),
                        result.stepMs.size(), result.clientsComplete, clients);
            std::fflush(stdout);
        }
    const double none = percentile(all[0], 0.5), many = percentile(all[1], 0.5);
    std::printf("all runs: 0 clients %.3f (%.3f) ms, %d clients %.3f (%.3f) ms: median %+.1f %%\n", none,
                percentile(all[0], 0.95), o.clients, many, percentile(all[1], 0.95), 100.0 * (many - none) / none);
    return 0;
}
