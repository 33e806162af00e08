// The live view's endpoints, without a browser: a whole run of the built
// Korvanth served on a free port (its events against the motion log, the
// series and the step timings it wrote; resuming after Last-Event-ID; the
// state; nothing served but the endpoints), and a live view fed in-process
// while a client never reads.
#include <gtest/gtest.h>

#include "korvanth/outputs/live/live_view.h"
#include "korvanth/outputs/report/qc_report.h"
#include "test/child_process.h"

#include <httplib.h>
#include <nifti2_io.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using korvanth::MotionEstimate;

constexpr int runVolumes = 40;

struct Event {
    int64_t id = 0;
    std::string type, data;
};

// The events of an SSE stream's text, in order.
std::vector<Event> parseEvents(const std::string& stream) {
    std::vector<Event> events;
    std::size_t at = 0;
    for (std::size_t end; (end = stream.find("\n\n", at)) != std::string::npos; at = end + 2) {
        Event event;
        std::istringstream block(stream.substr(at, end - at));
        for (std::string line; std::getline(block, line);) {
            if (line.rfind("id: ", 0) == 0)
                event.id = std::stoll(line.substr(4));
            else if (line.rfind("event: ", 0) == 0)
                event.type = line.substr(7);
            else if (line.rfind("data: ", 0) == 0)
                event.data = line.substr(6);
        }
        if (!event.type.empty()) events.push_back(event);
    }
    return events;
}

// The number after "key": in a flat JSON object; NaN for null or no key.
double number(const std::string& json, const std::string& key) {
    const std::size_t at = json.find("\"" + key + "\":");
    if (at == std::string::npos) return std::nan("");
    const char* start = json.c_str() + at + key.size() + 3;
    char* end = nullptr;
    const double value = std::strtod(start, &end);
    return end == start ? std::nan("") : value;
}

std::vector<double> motionOf(const std::string& json) {
    std::vector<double> values;
    const char* p = json.c_str() + json.find("\"motion\":[") + 10;
    for (int k = 0; k < 6; ++k) {
        char* end = nullptr;
        values.push_back(std::strtod(p, &end));
        p = end + 1;
    }
    return values;
}

// The whole stream of /events (it ends after the end event), with `headers`.
std::string readEvents(int port, const httplib::Headers& headers = {}) {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(60, 0);
    std::string stream;
    client.Get("/events", headers, [&](const char* data, std::size_t length) {
        stream.append(data, length);
        return true;
    });
    return stream;
}

// One request exactly as written, answered on a connection of its own: the status and the body.
std::pair<int, std::string> rawRequest(int port, const std::string& request) {
    const int socketFd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (::connect(socketFd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::send(socketFd, request.data(), request.size(), 0) == static_cast<ssize_t>(request.size())) {
        char buffer[4096];
        for (ssize_t n; (n = ::recv(socketFd, buffer, sizeof buffer, 0)) > 0;)
            answer.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(socketFd);
    if (answer.rfind("HTTP/1.1 ", 0) != 0) return {-1, answer};
    const std::size_t body = answer.find("\r\n\r\n");
    return {std::atoi(answer.c_str() + 9), body == std::string::npos ? "" : answer.substr(body + 4)};
}

std::string get(const std::string& path) {
    return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
}

// ---------------------------------------------------------------------------
// One synthetic run of the built Korvanth, served on a free port and kept up
// (until Ctrl-C) for all the tests that look at it.
class ServedRun : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder = new fs::path(fs::temp_directory_path() /
                              ("korvanth_live_view_" + std::to_string(std::random_device{}() % 100000000u)));
        fs::create_directories(*folder);
        const std::string out = (*folder / "out").string();
        std::vector<std::string> args{KORVANTH_PATH,
                                      "--plugin",
                                      TARVEX_PLUGIN_PATH,
                                      "--out",
                                      out,
                                      "--serve",
                                      "127.0.0.1:0",
                                      "--dims",
                                      "20",
                                      "20",
                                      "10",
                                      "--volumes",
                                      std::to_string(runVolumes),
                                      "--seed",
                                      "3"};
        korvanth = new tarvex_test::ChildProcess(args);
        // Korvanth says where it serves, runs, writes its results, then says it stays.
        log = new std::string;
        for (std::string line; korvanth->readLine(line);) {
            *log += line;
            if (std::sscanf(line.c_str(), "Live view: http://127.0.0.1:%d/", &port) == 1) continue;
            if (line.rfind("Live view stays at", 0) == 0) break;
        }
    }
    static void TearDownTestSuite() {
        EXPECT_EQ(korvanth->end(SIGINT), 0) << "Korvanth after Ctrl-C";  // Ctrl-C ends the lingering server
        delete korvanth;
        fs::remove_all(*folder);
        delete folder;
        delete log;
    }
    void SetUp() override {
        ASSERT_GT(port, 0) << *log;
        ASSERT_NE(log->find("Live view stays at"), std::string::npos) << *log;
    }
    static fs::path out() { return *folder / "out"; }

    static fs::path* folder;
    static std::string* log;
    static tarvex_test::ChildProcess* korvanth;
    static int port;
};
fs::path* ServedRun::folder = nullptr;
std::string* ServedRun::log = nullptr;
tarvex_test::ChildProcess* ServedRun::korvanth = nullptr;
int ServedRun::port = 0;

// The motion log's estimates by volume index (the log has none for the first).
std::map<int, std::vector<double>> readMotionLog(const fs::path& path) {
    std::map<int, std::vector<double>> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        int volume = 0;
        if (std::sscanf(line.c_str(), "Volume %d:", &volume) != 1) continue;
        std::vector<double>& values = lines[volume - 1];
        for (const char* key : {"dx:", "dy:", "dz:", "rx:", "ry:", "rz:"})
            values.push_back(std::strtod(line.c_str() + line.find(key) + 3, nullptr));
    }
    return lines;
}

TEST_F(ServedRun, VolumeEventsCarryWhatTheRunWrote) {
    const std::vector<Event> events = parseEvents(readEvents(port));
    ASSERT_FALSE(events.empty());
    for (std::size_t i = 0; i < events.size(); ++i) ASSERT_EQ(events[i].id, static_cast<int64_t>(i + 1));
    EXPECT_EQ(events.front().type, "run");
    EXPECT_EQ(events.back().type, "end");
    EXPECT_NE(events.back().data.find("\"volumes\":" + std::to_string(runVolumes) + ",\"partial\":false"),
              std::string::npos)
        << events.back().data;

    std::vector<std::string> volumes;
    for (const Event& e : events)
        if (e.type == "volume") volumes.push_back(e.data);
    ASSERT_EQ(volumes.size(), static_cast<std::size_t>(runVolumes));

    // Motion exactly as the motion log has it; FD from those values.
    const auto motionLog = readMotionLog(out() / "synthetic_3DMC.log");
    ASSERT_EQ(motionLog.size(), static_cast<std::size_t>(runVolumes - 1));
    std::vector<MotionEstimate> motion;
    for (int i = 0; i < runVolumes; ++i) {
        EXPECT_EQ(number(volumes[i], "index"), i);
        const std::vector<double> sent = motionOf(volumes[i]);
        if (i > 0) {
            EXPECT_EQ(sent, motionLog.at(i)) << "volume " << i;
        }
        motion.push_back({sent[0], sent[1], sent[2], sent[3], sent[4], sent[5]});
    }
    // The events' FD is of the estimates themselves, the log's values are rounded to their 8 characters
    // (5 or 6 decimals): six of them differ by at most 6 * 5e-6.
    const std::vector<double> fd = korvanth::framewiseDisplacement(motion);
    for (int i = 0; i < runVolumes; ++i) EXPECT_NEAR(number(volumes[i], "fd"), fd[i], 3e-5) << "volume " << i;
    double largestFd = 0.0;
    for (double f : fd) largestFd = std::max(largestFd, f);
    EXPECT_GT(largestFd, 0.5);  // the synthetic trace's jerks are in it

    // Step latencies as timing.csv has them.
    std::ifstream timing(out() / "timing.csv");
    std::string line;
    std::getline(timing, line);
    for (int i = 0; i < runVolumes && std::getline(timing, line); ++i)
        EXPECT_NEAR(number(volumes[i], "latency_ms"), 1000.0 * std::strtod(line.c_str() + line.find(',') + 1, nullptr),
                    2e-6)
            << "volume " << i;

    // Global mean and DVARS over the plug-in's mask (first volume > 100), from the series Korvanth wrote.
    nifti_image* bold = nifti_image_read((out() / "bold.nii.gz").string().c_str(), 1);
    ASSERT_NE(bold, nullptr);
    ASSERT_EQ(bold->datatype, DT_INT16);
    const auto* data = static_cast<const int16_t*>(bold->data);
    const std::size_t voxels = static_cast<std::size_t>(bold->nx) * bold->ny * bold->nz;
    ASSERT_EQ(static_cast<int>(bold->nt), runVolumes);
    std::vector<std::size_t> mask;
    for (std::size_t v = 0; v < voxels; ++v)
        if (data[v] > 100) mask.push_back(v);
    ASSERT_FALSE(mask.empty());
    for (int i = 0; i < runVolumes; ++i) {
        double sum = 0.0, squares = 0.0;
        for (std::size_t v : mask) {
            sum += data[i * voxels + v];
            if (i > 0) {
                const double change = data[i * voxels + v] - data[(i - 1) * voxels + v];
                squares += change * change;
            }
        }
        const double mean = sum / static_cast<double>(mask.size());
        EXPECT_NEAR(number(volumes[i], "global_mean"), mean, 1e-7 * mean) << "volume " << i;
        if (i == 0) {
            EXPECT_NE(volumes[i].find("\"dvars\":null"), std::string::npos);
        } else {
            const double dvars = std::sqrt(squares / static_cast<double>(mask.size()));
            EXPECT_NEAR(number(volumes[i], "dvars"), dvars, 1e-7 * dvars) << "volume " << i;
        }
    }
    nifti_image_free(bold);
}

TEST_F(ServedRun, ResumesAfterLastEventIdAndStateHoldsTheRun) {
    const std::string whole = readEvents(port);
    const std::vector<Event> events = parseEvents(whole);
    ASSERT_GT(events.size(), 20u);
    // From the 20th event on: a reconnect after id 19 gets exactly the rest, byte for byte.
    const std::string rest = readEvents(port, {{"Last-Event-ID", "19"}});
    EXPECT_EQ(rest, whole.substr(whole.find("id: 20\n")));
    EXPECT_EQ(parseEvents(rest).front().id, 20);

    // The state: finished, with the same volumes as the events.
    httplib::Client client("127.0.0.1", port);
    const auto state = client.Get("/api/state");
    ASSERT_TRUE(state);
    EXPECT_EQ(state->status, 200);
    std::string volumes = "\"volumes\":[";
    for (const Event& e : events)
        if (e.type == "volume") volumes += e.data + ",";
    volumes.back() = ']';
    EXPECT_NE(state->body.find(volumes), std::string::npos);
    EXPECT_EQ(state->body.rfind("{\"state\":\"finished\"", 0), 0u) << state->body.substr(0, 80);
}

TEST_F(ServedRun, ServesOnlyItsEndpoints) {
    const auto page = rawRequest(port, get("/"));
    EXPECT_EQ(page.first, 200);
    EXPECT_NE(page.second.find("new EventSource(\"events\")"), std::string::npos);  // the script is inlined
    const auto map = rawRequest(port, get("/maps/7.png"));
    EXPECT_EQ(map.first, 200);
    EXPECT_EQ(map.second.substr(1, 3), "PNG");
    for (const std::string path :
         {"/../../../../etc/passwd", "/maps/../../../etc/passwd", "/maps/%2e%2e/%2e%2e/etc/passwd",
          "/%2e%2e/%2e%2e/etc/passwd", "//etc/passwd", "/maps/8.png", "/maps/07.png", "/maps/", "/index.html",
          "/app.js", "/events/../api/state", "/api/state/.."})
        EXPECT_EQ(rawRequest(port, get(path)).first, 404) << path;
    // Nothing changes the run: other methods are not served, and the state stays.
    const auto before = rawRequest(port, get("/api/state")).second;
    for (const std::string method : {"POST", "PUT", "DELETE"})
        EXPECT_EQ(rawRequest(port, method + " /api/state HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\nConnection: "
                                            "close\r\n\r\n{}")
                      .first,
                  404)
            << method;
    EXPECT_EQ(rawRequest(port, get("/api/state")).second, before);
    // Request limits: a long target, a long header line, many headers, a body.
    EXPECT_EQ(rawRequest(port, get("/" + std::string(10000, 'a'))).first, 414);
    std::string many = "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n";
    for (int i = 0; i < 100; ++i) many += "X-Header-" + std::to_string(i) + ": 1\r\n";
    EXPECT_EQ(rawRequest(port, many + "\r\n").first, 431);
    EXPECT_EQ(rawRequest(port, "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\nX-Long: " + std::string(9000, 'b') +
                                   "\r\n\r\n")
                  .first,
              400);
    EXPECT_EQ(rawRequest(port, "POST / HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: 4096\r\n\r\n" +
                                   std::string(4096, 'c'))
                  .first,
              413);
}

// A series whose file name is not UTF-8 (as names in another encoding are):
// its title, its project name in the host log and the source in maps.json
// reach every JSON document Korvanth writes, which all stay valid JSON with
// U+FFFD for each bad byte.
TEST_F(ServedRun, NamesThatAreNotUtf8GiveValidJson) {
    const fs::path named = *folder / "bad\xff\xfe\xc3(name.nii.gz";
    fs::copy_file(out() / "bold.nii.gz", named, fs::copy_options::overwrite_existing);
    const fs::path badOut = *folder / "bad-out";
    tarvex_test::ChildProcess run({KORVANTH_PATH, "--plugin", TARVEX_PLUGIN_PATH, "--out", badOut.string(), "--bold",
                                   named.string(), "--motion", "none", "--serve", "127.0.0.1:0"});
    int badPort = 0;
    std::string said;
    for (std::string line; run.readLine(line);) {
        said += line;
        if (std::sscanf(line.c_str(), "Live view: http://127.0.0.1:%d/", &badPort) == 1) continue;
        if (line.rfind("Live view stays at", 0) == 0) break;
    }
    ASSERT_GT(badPort, 0) << said;
    httplib::Client client("127.0.0.1", badPort);
    const auto state = client.Get("/api/state");
    ASSERT_TRUE(state);
    const std::string replaced = "bad\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd(name";
    try {
        const nlohmann::json parsed = nlohmann::json::parse(state->body);
        EXPECT_NE(parsed.at("run").at("title").get<std::string>().find(replaced), std::string::npos);
        bool projectLogged = false;
        for (const auto& line : parsed.at("log"))
            projectLogged = projectLogged || line.at("line").get<std::string>().find(replaced) != std::string::npos;
        EXPECT_TRUE(projectLogged) << state->body;
    } catch (const nlohmann::json::exception& e) {
        ADD_FAILURE() << "/api/state is not valid JSON: " << e.what();
    }
    EXPECT_EQ(run.end(SIGINT), 0) << said;
    std::ifstream mapsJson(badOut / "maps.json", std::ios::binary);
    const std::string maps((std::istreambuf_iterator<char>(mapsJson)), std::istreambuf_iterator<char>());
    try {
        EXPECT_NE(nlohmann::json::parse(maps).at("source").get<std::string>().find(replaced), std::string::npos);
    } catch (const nlohmann::json::exception& e) {
        ADD_FAILURE() << "maps.json is not valid JSON: " << e.what() << "\n" << maps;
    }
}

// ---------------------------------------------------------------------------
TEST(LiveView, ServeAddresses) {
    std::string address, error;
    int port = -1;
    const struct {
        const char* text;
        const char* address;
        int port;
    } good[] = {{"8080", "127.0.0.1", 8080},
                {"0", "127.0.0.1", 0},
                {"0.0.0.0:65535", "0.0.0.0", 65535},
                {"localhost:80", "localhost", 80},
                {"[::1]:9000", "::1", 9000}};
    for (const auto& g : good) {
        EXPECT_TRUE(korvanth::parseListenAddress("--serve", g.text, address, port, error)) << g.text << ": " << error;
        EXPECT_EQ(address, g.address) << g.text;
        EXPECT_EQ(port, g.port) << g.text;
    }
    for (const char* bad : {"", "65536", "-1", "80a", ":8080", "::1:8080", "host:", "a b:80", "1.2.3.4:99999"})
        EXPECT_FALSE(korvanth::parseListenAddress("--serve", bad, address, port, error)) << bad;
    // Loopback is judged by the address a name resolves to, never by its text.
    for (const char* loopback : {"127.0.0.1", "127.3.2.1", "::1", "localhost", "::ffff:127.0.0.1"})
        EXPECT_TRUE(korvanth::isLoopbackAddress(loopback)) << loopback;
    for (const char* reachable : {"0.0.0.0", "::", "192.168.1.20", "127.evil.example", "128.0.0.1", "::2", ""})
        EXPECT_FALSE(korvanth::isLoopbackAddress(reachable)) << reachable;
}

// This process's resident memory (kB).
long residentKb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

// A finished run's file of 8 MB, asked for by 24 clients at once that have
// each taken only its first bytes: the server sends it in bounded chunks as
// they read (it used to hold the whole file in memory for every request), so
// its memory grows by far less than a copy per client; then every client
// reads the file to its end, byte for byte.
TEST(LiveView, RunFilesAreSentInBoundedChunksToManyClientsAtOnce) {
    const fs::path run =
        fs::temp_directory_path() / ("korvanth_run_files_" + std::to_string(std::random_device{}() % 100000000u));
    fs::create_directories(run);
    std::string content(8u << 20, '\0');
    std::mt19937 random(11);
    for (char& c : content) c = static_cast<char>(random());
    std::ofstream(run / "maps.f32", std::ios::binary) << content;
    korvanth::LiveViewSettings settings;
    settings.port = 0;
    settings.session = true;
    korvanth::LiveView view(settings);
    std::string error;
    ASSERT_TRUE(view.start(error)) << error;
    view.runCommitted("005", run, {"maps.f32"});

    const long before = residentKb();
    constexpr int clients = 24;
    std::vector<int> sockets;
    std::vector<std::string> heads(clients);
    for (int c = 0; c < clients; ++c) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(view.port()));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        const std::string request = get("/runs/005/maps.f32");
        ASSERT_EQ(::send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
        sockets.push_back(fd);
        char buffer[4096];
        while (heads[static_cast<std::size_t>(c)].find("\r\n\r\n") == std::string::npos) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            ASSERT_GT(n, 0) << "client " << c;
            heads[static_cast<std::size_t>(c)].append(buffer, static_cast<std::size_t>(n));
        }
    }
    const long during = residentKb();
    EXPECT_LT(during - before, 3 * static_cast<long>(content.size() >> 10))
        << "kB more while " << clients << " clients take a file of " << (content.size() >> 10) << " kB";

    for (int c = 0; c < clients; ++c) {
        std::string& got = heads[static_cast<std::size_t>(c)];
        const std::size_t body = got.find("\r\n\r\n") + 4;
        EXPECT_EQ(got.rfind("HTTP/1.1 200", 0), 0u) << got.substr(0, body);
        EXPECT_NE(got.find("Content-Length: " + std::to_string(content.size())), std::string::npos);
        std::size_t matched = got.size() - body;
        bool same = got.compare(body, matched, content, 0, matched) == 0;
        char buffer[1 << 16];
        for (ssize_t n; (n = ::recv(sockets[static_cast<std::size_t>(c)], buffer, sizeof buffer, 0)) > 0;) {
            same = same && matched + static_cast<std::size_t>(n) <= content.size() &&
                   std::memcmp(buffer, content.data() + matched, static_cast<std::size_t>(n)) == 0;
            matched += static_cast<std::size_t>(n);
        }
        EXPECT_TRUE(same && matched == content.size()) << "client " << c << ": " << matched << " bytes";
        ::close(sockets[static_cast<std::size_t>(c)]);
    }
    view.stop();
    fs::remove_all(run);
}

// A client that never reads: the run goes on, the client is dropped, and a
// client that reads gets every event.
TEST(LiveView, ClientThatNeverReadsIsDroppedWithoutStallingTheRun) {
    korvanth::LiveViewSettings settings;
    settings.port = 0;
    settings.clientQueueEvents = 8;
    korvanth::LiveView view(settings);
    std::string error;
    ASSERT_TRUE(view.start(error)) << error;

    // A client with a small receive buffer that asks for the events and never reads them.
    const int stalled = ::socket(AF_INET, SOCK_STREAM, 0);
    const int small = 4096;
    ::setsockopt(stalled, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(view.port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(stalled, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const std::string request = get("/events");
    ASSERT_EQ(::send(stalled, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
    httplib::Client probe("127.0.0.1", view.port());
    for (int i = 0; i < 1000; ++i) {  // until the server has taken the stream (at most 10 s)
        const auto state = probe.Get("/api/state");
        if (state && state->body.find("\"clients\":1") != std::string::npos) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    // 16 MB of events, far beyond what the socket buffers hold: were the run to
    // wait for this client, it would never get past this loop.
    korvanth::SeriesInfo series;
    series.dims[0] = series.dims[1] = series.dims[2] = 2;
    series.expectedVolumes = 1;
    view.runStarted(series);
    const std::string longLine(64 * 1024, 'x');
    for (int i = 0; i < 256; ++i) view.hostLogLine(std::to_string(i) + longLine);
    EXPECT_EQ(view.droppedClients(), 1);
    std::vector<int16_t> volume(8, 500);
    korvanth::VolumeDone done;
    done.volume = volume.data();
    done.motionReliable = false;
    done.motionWarning = "volume 1: \"slice 2\" set aside";
    korvanth::VolumeMetricsTracker metrics;  // as the run loop measures each volume
    metrics.begin(volume.size());
    done.metrics = metrics.next(done.volume, nullptr, done.motion);
    view.volumeDone(done);
    korvanth::RunFinished finished;
    finished.volumeCount = 1;
    view.runFinished(finished);

    // A client that connects now reads every event, in order, to the end.
    const std::vector<Event> events = parseEvents(readEvents(view.port()));
    ASSERT_EQ(events.size(), 1u + 256u + 1u + 1u);
    for (std::size_t i = 0; i < events.size(); ++i) ASSERT_EQ(events[i].id, static_cast<int64_t>(i + 1));
    EXPECT_EQ(events[1].data, "{\"line\":\"0" + longLine + "\"}");
    EXPECT_EQ(events[256].data, "{\"line\":\"255" + longLine + "\"}");
    EXPECT_EQ(events[257].type, "volume");
    EXPECT_EQ(number(events[257].data, "global_mean"), 500.0);
    EXPECT_NE(events[257].data.find("\"motion_warning\":\"volume 1: \\\"slice 2\\\" set aside\""), std::string::npos)
        << events[257].data;
    EXPECT_EQ(events[258].type, "end");
    view.stop();
    ::close(stalled);
}

}  // namespace
