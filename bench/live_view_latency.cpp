// Does watching the run slow it? Runs the built Korvanth with its live view,
// paced at the TR, while N clients follow the events in turns: --block volumes
// with no client, --block volumes with all N, and so on (with --pages each
// client also fetches the eight map images after a volume, at most every
// 400 ms, as the page does). After the run each volume's plug-in step latency
// (from /api/state) counts for "0 clients" when it came well inside a turn
// without clients, for "N clients" when all N were connected from the volume
// before to the one after; the two medians are compared. Taking both from the
// same run, in turns of a few seconds, keeps the load that other programs put
// on the machine out of the comparison as far as that load changes slowly.
//
//   live_view_latency [--clients 20] [--volumes 300] [--block 20] [--tr 0.1] [--repeats 2] [--dims 64 64 33]
//                     [--pages] [--korvanth PATH] [--plugin PATH]
#include "korvanth/run/clock.h"
#include "korvanth/run/statistics.h"
#include "tarvex/qc_conventions.h"
#include "test/child_process.h"

#include <httplib.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Options {
    std::string korvanth = KORVANTH_PATH;
    std::string plugin = TARVEX_PLUGIN_PATH;
    int clients = 20;
    int volumes = 300;
    int block = 20;
    double tr = 0.1;
    int repeats = 2;
    std::string dims[3] = {"64", "64", "33"};
    bool pages = false;
};

// Korvanth's own definitions, so that the figures read as the report's do.
double percentile(const std::vector<double>& values, double q) {
    if (values.empty()) return 0.0;
    return q == 0.5 ? korvanth::median(values) : korvanth::nearestRankPercentile(values, q);
}

// The values of "key": in `json`, in order.
std::vector<double> valuesOf(const std::string& json, const std::string& key) {
    std::vector<double> values;
    const std::string needle = "\"" + key + "\":";
    for (std::size_t at = json.find(needle); at != std::string::npos; at = json.find(needle, at + 1))
        values.push_back(std::strtod(json.c_str() + at + needle.size(), nullptr));
    return values;
}

// The shared state of one run: which turn it is, and the volumes each client saw while connected.
struct Turns {
    std::atomic<int> turn{0};  // odd: clients connected
    std::atomic<bool> runEnded{false};
    std::atomic<long long> resumeAfter{0};  // Last-Event-ID for the clients of this turn
    std::mutex mutex;
    std::vector<std::pair<int, int>> seen;  // per connection: first and last volume index received
};

// One client: in each turn with clients it follows the events (resuming after
// the last event of the turn before) until the turn ends.
void client(int port, bool pages, Turns& turns) {
    for (int waitingFor = 1; !turns.runEnded; waitingFor += 2) {
        while (turns.turn < waitingFor && !turns.runEnded) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (turns.runEnded) return;
        httplib::Client events("127.0.0.1", port);
        httplib::Client maps("127.0.0.1", port);
        events.set_read_timeout(30, 0);
        std::string pending;
        int first = -1, last = -1;
        auto mapsFetched = Clock::now() - std::chrono::seconds(1);
        events.Get("/events", {{"Last-Event-ID", std::to_string(turns.resumeAfter.load())}},
                   [&](const char* data, std::size_t length) {
                       pending.append(data, length);
                       for (std::size_t at; (at = pending.find("\n\n")) != std::string::npos;
                            pending.erase(0, at + 2)) {
                           const std::string event = pending.substr(0, at);
                           if (event.find("event: volume\n") == std::string::npos) continue;
                           last = static_cast<int>(valuesOf(event, "index").at(0));
                           if (first < 0) first = last;
                           if (pages && Clock::now() - mapsFetched >= std::chrono::milliseconds(400)) {
                               mapsFetched = Clock::now();
                               for (int k = 0; k < tarvex::pluginMapCount; ++k)
                                   maps.Get(("/maps/" + std::to_string(k) + ".png").c_str());
                           }
                       }
                       return turns.turn == waitingFor;  // the turn is over: the connection is closed
                   });
        std::lock_guard<std::mutex> lock(turns.mutex);
        turns.seen.emplace_back(first, last);
    }
}

struct Sample {
    std::vector<double> none, all;
};

Sample runOnce(const Options& o, const fs::path& out) {
    tarvex_test::ChildProcess korvanth({o.korvanth, "--plugin", o.plugin, "--out", out.string(), "--serve",
                                        "127.0.0.1:0", "--linger", "30", "--realtime", "--tr", std::to_string(o.tr),
                                        "--volumes", std::to_string(o.volumes), "--dims", o.dims[0], o.dims[1],
                                        o.dims[2]});
    int port = 0;
    std::string line;
    while (port == 0 && korvanth.readLine(line)) std::sscanf(line.c_str(), "Live view: http://127.0.0.1:%d/", &port);
    Turns turns;
    std::thread reader([&] {
        while (korvanth.readLine(line))
            if (line.rfind("Live view stays at", 0) == 0) break;
        turns.runEnded = true;
    });
    httplib::Client state("127.0.0.1", port);
    std::vector<std::thread> clients;
    for (int c = 0; c < o.clients && port > 0; ++c) clients.emplace_back(client, port, o.pages, std::ref(turns));
    // Turn boundaries as the volume index last published when each turn began.
    std::vector<int> boundaries;
    const auto turnLength = korvanth::steadyDuration(o.block * o.tr);
    while (!turns.runEnded && port > 0) {
        const auto now = state.Get("/api/state");
        if (now) {
            turns.resumeAfter = static_cast<long long>(valuesOf(now->body, "last_event_id").at(0));
            boundaries.push_back(static_cast<int>(valuesOf(now->body, "index").size()) - 1);
        }
        ++turns.turn;
        const auto until = Clock::now() + turnLength;
        while (Clock::now() < until && !turns.runEnded) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    turns.turn += 2;
    for (std::thread& t : clients) t.join();
    reader.join();
    const auto final = state.Get("/api/state");
    korvanth.end(SIGINT);
    fs::remove_all(out);

    Sample sample;
    if (!final) return sample;
    const std::vector<double> latency = valuesOf(final->body, "latency_ms");
    // How many clients received volume i while connected.
    auto received = [&](int i) {
        int n = 0;
        for (const auto& [first, last] : turns.seen) n += first <= i && i <= last;
        return n;
    };
    // The turn after boundary k is turn k + 1, with clients when odd.
    for (std::size_t k = 0; k + 1 < boundaries.size(); ++k) {
        const bool withClients = k % 2 == 0;
        // Two volumes of margin after a turn begins: clients connect or close over that time.
        for (int i = boundaries[k] + 3; i <= boundaries[k + 1] - 1 && i + 1 < static_cast<int>(latency.size()); ++i) {
            const int around[3] = {received(i - 1), received(i), received(i + 1)};
            const auto allAre = [&](int n) { return std::all_of(around, around + 3, [n](int r) { return r == n; }); };
            if (withClients && allAre(o.clients)) sample.all.push_back(latency[i]);
            if (!withClients && allAre(0)) sample.none.push_back(latency[i]);
        }
    }
    return sample;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&] { return i + 1 < argc ? std::string(argv[++i]) : std::string(); };
        if (a == "--clients")
            o.clients = std::stoi(next());
        else if (a == "--volumes")
            o.volumes = std::stoi(next());
        else if (a == "--block")
            o.block = std::stoi(next());
        else if (a == "--tr")
            o.tr = std::stod(next());
        else if (a == "--repeats")
            o.repeats = std::stoi(next());
        else if (a == "--dims")
            for (std::string& d : o.dims) d = next();
        else if (a == "--pages")
            o.pages = true;
        else if (a == "--korvanth")
            o.korvanth = next();
        else if (a == "--plugin")
            o.plugin = next();
        else {
            std::fprintf(stderr, "unknown argument %s\n", a.c_str());
            return 2;
        }
    }
    const fs::path out = fs::temp_directory_path() / ("live_view_latency_" + std::to_string(::getpid()));
    std::printf(
        "Korvanth %s x %s x %s, %d volumes paced at TR %g s, turns of %d volumes with 0 and %d clients "
        "that %s; median (p95) plug-in step latency in ms\n",
        o.dims[0].c_str(), o.dims[1].c_str(), o.dims[2].c_str(), o.volumes, o.tr, o.block, o.clients,
        o.pages ? "follow the events and fetch the 8 maps every 400 ms" : "follow the events");
    Sample all;
    for (int r = 0; r < o.repeats; ++r) {
        const Sample s = runOnce(o, out);
        std::printf("  run %d: 0 clients %7.3f (%7.3f) over %3zu volumes, %d clients %7.3f (%7.3f) over %3zu volumes\n",
                    r + 1, percentile(s.none, 0.5), percentile(s.none, 0.95), s.none.size(), o.clients,
                    percentile(s.all, 0.5), percentile(s.all, 0.95), s.all.size());
        std::fflush(stdout);
        all.none.insert(all.none.end(), s.none.begin(), s.none.end());
        all.all.insert(all.all.end(), s.all.begin(), s.all.end());
    }
    const double none = percentile(all.none, 0.5), many = percentile(all.all, 0.5);
    std::printf("all runs: 0 clients %.3f (%.3f) ms, %d clients %.3f (%.3f) ms: median %+.1f %%\n", none,
                percentile(all.none, 0.95), o.clients, many, percentile(all.all, 0.95), 100.0 * (many - none) / none);
    return all.none.empty() || all.all.empty() ? 1 : 0;
}
