#include "korvanth/outputs/live_view.h"

#include "korvanth/host/host_state.h"
#include "korvanth/outputs/map_montage.h"
#include "korvanth/outputs/qc_report.h"
#include "korvanth/outputs/run_outputs.h"
#include "korvanth/run/motion_log_writer.h"
#include "korvanth/run/volume_source.h"

#include <httplib.h>
#if defined(__linux__)
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

namespace korvanth {

// The page's files (korvanth/outputs/live_view/), compiled in; empty for an unknown name.
std::string_view liveViewAsset(std::string_view name);

namespace {

using Clock = std::chrono::steady_clock;
using Text = std::shared_ptr<const std::string>;

constexpr int mapSlots = 8;
constexpr float maskThreshold = 100.0f;  // the plug-in's: first-volume intensity above it
constexpr auto keepAliveInterval = std::chrono::seconds(10);
constexpr std::size_t backlogBatchBytes = 64 * 1024;
constexpr std::size_t maxRequestHeaders = 64;

std::string jsonNumber(double value) {
    if (!std::isfinite(value)) return "null";
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

// A motion value as the motion log has it, so that both give the same number.
std::string jsonMotionValue(double value) { return std::isfinite(value) ? formatMotionValue(value) : "null"; }

std::string replaceOnce(std::string text, std::string_view what, const std::string& with) {
    const std::size_t at = text.find(what);
    if (at != std::string::npos) text.replace(at, what.size(), with);
    return text;
}

// The page as one document: its style sheet and script inlined, so that the
// server has one page to serve and the page nothing to fetch but the events,
// the state and the maps.
std::string assemblePage() {
    std::string page(liveViewAsset("index.html"));
    page = replaceOnce(page, R"(<link rel="stylesheet" href="style.css">)",
                       "<style>\n" + std::string(liveViewAsset("style.css")) + "</style>");
    page = replaceOnce(page, R"(<script src="app.js"></script>)",
                       "<script>\n" + std::string(liveViewAsset("app.js")) + "</script>");
    return page;
}

// One event stream: what the run has published for it and not yet written.
struct Client {
    std::deque<Text> queue;  // at most clientQueueEvents
    bool dropped = false;    // fell too far behind; the stream ends
};

// The plug-in maps as copied after one volume.
struct MapsSnapshot {
    uint64_t version = 0;
    int32_t volume = -1;  // from 0
    int32_t mapCount = 0;
    std::vector<float> values;
    std::vector<std::string> names;
};

// The last montage drawn of one map, and the snapshot it was drawn from.
struct RenderedMap {
    std::mutex mutex;  // one drawing of a map at a time
    uint64_t version = 0;
    int32_t volume = -1;
    std::string png;
};

cairo_status_t appendPng(void* closure, const unsigned char* data, unsigned int length) {
    static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
    return CAIRO_STATUS_SUCCESS;
}

// The server's threads yield to the run: drawing maps and writing to many
// clients must not take the processor from the plug-in's steps. On Linux a
// thread has a nice value of its own; elsewhere this does nothing.
void yieldToTheRun() {
#if defined(__linux__)
    thread_local bool lowered = false;
    if (!lowered) {
        lowered = true;
        setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 10);
    }
#endif
}

std::string joined(const std::vector<Text>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) out += ',';
        out += *items[i];
    }
    return out + ']';
}

}  // namespace

struct LiveView::Impl {
    LiveViewSettings settings;
    httplib::Server server;
    std::thread thread;
    std::atomic<bool> serverEnded{false};
    int port = -1;
    std::string page;

    // Used on the run's thread only: what the copies are computed from.
    SeriesInfo series;
    Clock::time_point runStart = Clock::now();
    std::vector<std::size_t> masked;  // voxels of the mask, in order
    std::vector<int16_t> previousVolume;
    MotionEstimate previousMotion{};
    bool haveMotion = false;
    bool haveGrid = false;
    Clock::time_point lastMapsCopy;
    uint64_t mapsVersion = 0;

    // Shared with the server's threads, under `mutex`.
    mutable std::mutex mutex;
    std::condition_variable wake;
    std::vector<Text> events;  // every event as sent; its id is its index + 1
    std::string state = "waiting";
    Text run, end;
    std::vector<Text> volumes, log;
    std::vector<std::shared_ptr<Client>> clients;
    bool ended = false;
    bool stopping = false;
    int64_t dropped = 0;

    // The maps, under `mapsMutex`; drawn on request from the latest snapshot.
    std::mutex mapsMutex;
    std::shared_ptr<const MapsSnapshot> maps;
    std::shared_ptr<const MontageGrid> grid;
    std::array<RenderedMap, mapSlots> rendered;

    explicit Impl(LiveViewSettings s) : settings(std::move(s)) {}

    // Appends an event, keeps its data where `keep` says, and queues it for
    // every client; a client whose queue is full is dropped, never waited for.
    void publish(const char* type, const std::string& data, std::vector<Text>* keep, Text* keepOne,
                 const char* newState = nullptr, bool last = false) {
        auto json = std::make_shared<const std::string>(data);
        {
            std::lock_guard<std::mutex> lock(mutex);
            auto frame = std::make_shared<const std::string>("id: " + std::to_string(events.size() + 1) +
                                                             "\nevent: " + type + "\ndata: " + data + "\n\n");
            events.push_back(frame);
            if (keep != nullptr) keep->push_back(json);
            if (keepOne != nullptr) *keepOne = json;
            if (newState != nullptr) state = newState;
            ended = ended || last;
            for (auto it = clients.begin(); it != clients.end();) {
                Client& client = **it;
                if (client.queue.size() >= settings.clientQueueEvents) {
                    client.dropped = true;
                    client.queue.clear();
                    ++dropped;
                    it = clients.erase(it);
                } else {
                    client.queue.push_back(frame);
                    ++it;
                }
            }
        }
        wake.notify_all();
    }

    void copyMaps(const float* values, int32_t mapCount, const std::vector<std::string>& names, int32_t volume) {
        const auto voxels = static_cast<std::size_t>(series.voxelCount());
        if (values == nullptr || mapCount <= 0 || voxels == 0) return;
        auto snapshot = std::make_shared<MapsSnapshot>();
        snapshot->version = ++mapsVersion;
        snapshot->volume = volume;
        snapshot->mapCount = std::min(mapCount, mapSlots);
        snapshot->values.assign(values, values + static_cast<std::size_t>(snapshot->mapCount) * voxels);
        for (int32_t k = 0; k < snapshot->mapCount; ++k)
            snapshot->names.push_back(k < static_cast<int32_t>(names.size()) ? names[k]
                                                                             : "Map " + std::to_string(k + 1));
        lastMapsCopy = Clock::now();
        std::lock_guard<std::mutex> lock(mapsMutex);
        maps = std::move(snapshot);
    }

    // The mask of the first volume (all voxels when none is above the
    // threshold) and the grid the montages are drawn on.
    void takeFirstVolume(const int16_t* volume, std::size_t voxels) {
        std::vector<float> first(volume, volume + voxels);
        for (std::size_t i = 0; i < voxels; ++i)
            if (first[i] > maskThreshold) masked.push_back(i);
        if (masked.empty())
            for (std::size_t i = 0; i < voxels; ++i) masked.push_back(i);
        auto made = std::make_shared<const MontageGrid>(montageGrid(series.dims, series.voxelSizeMm, first));
        haveGrid = true;
        std::lock_guard<std::mutex> lock(mapsMutex);
        grid = std::move(made);
    }

    // ---- the server's side

    void serveEvents(const httplib::Request& request, httplib::Response& response) {
        std::size_t after = 0;
        const std::string lastId = request.get_header_value("Last-Event-ID");
        if (!lastId.empty() && lastId.size() < 19 && lastId.find_first_not_of("0123456789") == std::string::npos)
            after = static_cast<std::size_t>(std::stoull(lastId));
        auto client = std::make_shared<Client>();
        std::vector<Text> backlog;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopping || clients.size() >= static_cast<std::size_t>(settings.maxClients)) {
                response.status = 503;
                response.set_header("Retry-After", "5");
                response.set_content("too many event streams\n", "text/plain");
                return;
            }
            // An id beyond this run's events is from an earlier server: everything is sent again.
            if (after > events.size()) after = 0;
            backlog.assign(events.begin() + static_cast<std::ptrdiff_t>(after), events.end());
            clients.push_back(client);
        }
        response.set_chunked_content_provider(
            "text/event-stream",
            [this, client, backlog = std::move(backlog), sent = std::size_t{0}](
                std::size_t, httplib::DataSink& sink) mutable { return sendEvents(*client, backlog, sent, sink); },
            [this, client](bool) { forget(client); });
    }

    // Writes the events from before the connection, then waits for new ones;
    // false ends the stream.
    bool sendEvents(Client& client, const std::vector<Text>& backlog, std::size_t& sent, httplib::DataSink& sink) {
        std::string batch;
        if (sent < backlog.size()) {
            while (sent < backlog.size() && batch.size() < backlogBatchBytes) batch += *backlog[sent++];
            return sink.write(batch.data(), batch.size());
        }
        std::deque<Text> pending;
        bool finished = false;
        {
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait_for(lock, keepAliveInterval,
                          [&] { return !client.queue.empty() || client.dropped || stopping || ended; });
            if (client.dropped || stopping) return false;
            pending.swap(client.queue);
            finished = ended;  // the end event is the last: it is in `pending` or was in the backlog
        }
        for (const Text& frame : pending) batch += *frame;
        // A comment when there is nothing to say: it finds a client that has gone.
        if (batch.empty() && !finished) batch = ": waiting\n\n";
        if (!batch.empty() && !sink.write(batch.data(), batch.size())) return false;
        if (finished) sink.done();
        return true;
    }

    void forget(const std::shared_ptr<Client>& client) {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto it = clients.begin(); it != clients.end(); ++it)
            if (*it == client) {
                clients.erase(it);
                break;
            }
    }

    void serveState(httplib::Response& response) {
        std::string stateNow;
        Text runNow, endNow;
        std::vector<Text> volumesNow, logNow;
        std::size_t lastEventId = 0, clientCount = 0;
        int64_t droppedNow = 0;
        {
            std::lock_guard<std::mutex> lock(mutex);
            stateNow = state;
            runNow = run;
            endNow = end;
            volumesNow = volumes;
            logNow = log;
            lastEventId = events.size();
            clientCount = clients.size();
            droppedNow = dropped;
        }
        int32_t mapsVolume = -1;
        {
            std::lock_guard<std::mutex> lock(mapsMutex);
            if (maps) mapsVolume = maps->volume;
        }
        std::string json = "{\"state\":" + jsonString(stateNow) + ",\"run\":" + (runNow ? *runNow : "null") +
                           ",\"volumes\":" + joined(volumesNow) + ",\"log\":" + joined(logNow) +
                           ",\"end\":" + (endNow ? *endNow : "null") +
                           ",\"last_event_id\":" + std::to_string(lastEventId) +
                           ",\"maps_volume\":" + (mapsVolume >= 0 ? std::to_string(mapsVolume) : "null") +
                           ",\"clients\":" + std::to_string(clientCount) +
                           ",\"dropped_clients\":" + std::to_string(droppedNow) + "}\n";
        response.set_content(json, "application/json");
    }

    void serveMap(int map, httplib::Response& response) {
        std::shared_ptr<const MapsSnapshot> snapshot;
        std::shared_ptr<const MontageGrid> montage;
        {
            std::lock_guard<std::mutex> lock(mapsMutex);
            snapshot = maps;
            montage = grid;
        }
        if (!snapshot || !montage || montage->voxels == 0) {
            response.status = 503;
            response.set_header("Retry-After", "1");
            response.set_content("no maps yet\n", "text/plain");
            return;
        }
        if (map >= snapshot->mapCount ||
            snapshot->values.size() < static_cast<std::size_t>(map + 1) * montage->voxels) {
            response.status = 404;
            response.set_content("the plug-in has no such map\n", "text/plain");
            return;
        }
        RenderedMap& slot = rendered[static_cast<std::size_t>(map)];
        std::string png;
        int32_t volume = -1;
        {
            std::lock_guard<std::mutex> lock(slot.mutex);
            if (slot.version != snapshot->version) {
                const float* values = snapshot->values.data() + static_cast<std::size_t>(map) * montage->voxels;
                const MapSummary summary = summariseMap(*montage, values, map, snapshot->names[map]);
                SurfacePtr image = drawMontage(*montage, values, map, summary, chooseSlices(*montage));
                std::string encoded;
                if (cairo_surface_write_to_png_stream(image.get(), appendPng, &encoded) != CAIRO_STATUS_SUCCESS) {
                    response.status = 500;
                    return;
                }
                slot.png = std::move(encoded);
                slot.version = snapshot->version;
                slot.volume = snapshot->volume;
            }
            png = slot.png;
            volume = slot.volume;
        }
        response.set_header("X-Volume-Index", std::to_string(volume));
        response.set_content(png, "image/png");
    }

    void route() {
        page = assemblePage();
        server.new_task_queue = [n = static_cast<std::size_t>(settings.maxClients) + 8] {
            return new httplib::ThreadPool(n);
        };
        // Slow or idle connections are let go: a stream that cannot be written for
        // 2 s ends (the page reconnects and resumes).
        server.set_read_timeout(5);
        server.set_write_timeout(2);
        server.set_keep_alive_timeout(2);
        server.set_payload_max_length(1024);  // no request needs a body
        server.set_default_headers({
            {"Cache-Control", "no-store"},
            {"X-Content-Type-Options", "nosniff"},
            {"Referrer-Policy", "no-referrer"},
            {"Content-Security-Policy",
             "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; img-src 'self' data:; "
             "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'"},
        });
        server.set_pre_routing_handler([](const httplib::Request& request, httplib::Response& response) {
            yieldToTheRun();
            if (request.headers.size() > maxRequestHeaders) {
                response.status = 431;
                response.set_content("too many request headers\n", "text/plain");
                return httplib::Server::HandlerResponse::Handled;
            }
            return httplib::Server::HandlerResponse::Unhandled;
        });
        server.set_error_handler(
            httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& response) {
                if (!response.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
                response.set_content(response.status == 404 ? "not found\n" : "refused\n", "text/plain");
                return httplib::Server::HandlerResponse::Handled;
            }));
        server.Get("/", [this](const httplib::Request&, httplib::Response& response) {
            response.set_content(page, "text/html; charset=utf-8");
        });
        server.Get("/events", [this](const httplib::Request& request, httplib::Response& response) {
            serveEvents(request, response);
        });
        server.Get("/api/state",
                   [this](const httplib::Request&, httplib::Response& response) { serveState(response); });
        server.Get(R"(/maps/([0-7])\.png)", [this](const httplib::Request& request, httplib::Response& response) {
            serveMap(request.matches[1].str()[0] - '0', response);
        });
    }
};

bool parseServeAddress(const std::string& text, std::string& address, int& port, std::string& error) {
    std::string portText = text;
    address = "127.0.0.1";
    const std::size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        address = text.substr(0, colon);
        portText = text.substr(colon + 1);
        if (address.size() >= 2 && address.front() == '[' && address.back() == ']')
            address = address.substr(1, address.size() - 2);
        if (address.empty() || address.find_first_of("[]/ ") != std::string::npos ||
            (address.find(':') != std::string::npos && text.front() != '[')) {
            error = "--serve " + text + ": not [ADDR:]PORT (an IPv6 address goes in brackets)";
            return false;
        }
    }
    if (portText.empty() || portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(portText) > 65535) {
        error = "--serve " + text + ": the port must be a number from 0 to 65535";
        return false;
    }
    port = std::stoi(portText);
    return true;
}

bool isLoopbackAddress(const std::string& address) {
    return address == "localhost" || address == "::1" || address.rfind("127.", 0) == 0;
}

LiveView::LiveView(LiveViewSettings settings) : impl_(std::make_unique<Impl>(std::move(settings))) {}

LiveView::~LiveView() { stop(); }

bool LiveView::start(std::string& error) {
    Impl& m = *impl_;
    m.route();
    const LiveViewSettings& s = m.settings;
    m.port =
        s.port == 0 ? m.server.bind_to_any_port(s.address) : (m.server.bind_to_port(s.address, s.port) ? s.port : -1);
    if (m.port < 0) {
        error = "--serve: cannot listen on " + s.address + ":" + std::to_string(s.port) +
                " (in use, or not an address of this machine)";
        return false;
    }
    m.thread = std::thread([&m] {
        yieldToTheRun();
        m.server.listen_after_bind();
        m.serverEnded = true;
    });
    return true;
}

int LiveView::port() const { return impl_->port; }

std::string LiveView::url() const {
    const std::string& address = impl_->settings.address;
    const bool v6 = address.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + address + "]" : address) + ":" + std::to_string(impl_->port) + "/";
}

void LiveView::stop() {
    Impl& m = *impl_;
    {
        std::lock_guard<std::mutex> lock(m.mutex);
        m.stopping = true;
    }
    m.wake.notify_all();
    if (m.thread.joinable()) {
        // The server's thread may not have begun listening yet, and stop() ends only a running server.
        while (!m.server.is_running() && !m.serverEnded) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        m.server.stop();
        m.thread.join();
    }
}

void LiveView::linger(double seconds) const {
    const Clock::time_point until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                       std::chrono::duration<double>(std::max(seconds, 0.0)));
    while (!runStopRequested() && (seconds < 0.0 || Clock::now() < until))
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

int64_t LiveView::droppedClients() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->dropped;
}

void LiveView::runStarted(const SeriesInfo& series) {
    Impl& m = *impl_;
    m.series = series;
    m.runStart = Clock::now();
    const LiveViewSettings& s = m.settings;
    std::string json =
        "{\"title\":" + jsonString(series.title) + ",\"dims\":[" + std::to_string(series.dims[0]) + "," +
        std::to_string(series.dims[1]) + "," + std::to_string(series.dims[2]) + "],\"voxel_mm\":[" +
        jsonNumber(series.voxelSizeMm[0]) + "," + jsonNumber(series.voxelSizeMm[1]) + "," +
        jsonNumber(series.voxelSizeMm[2]) + "],\"tr_s\":" + jsonNumber(series.repetitionTimeSeconds) +
        ",\"expected_volumes\":" + (series.expectedVolumes > 0 ? std::to_string(series.expectedVolumes) : "null") +
        ",\"fd_thresholds_mm\":[" + jsonNumber(s.fdThresholds[0]) + "," + jsonNumber(s.fdThresholds[1]) +
        "],\"target_minutes\":" + jsonNumber(s.targetMinutes) + "}";
    m.publish("run", json, nullptr, &m.run, "running");
}

void LiveView::volumeDone(const VolumeDone& volume) {
    Impl& m = *impl_;
    const auto voxels = static_cast<std::size_t>(m.series.voxelCount());
    double globalMean = std::nan(""), dvars = std::nan("");
    if (volume.volume != nullptr && voxels > 0) {
        if (!m.haveGrid) m.takeFirstVolume(volume.volume, voxels);
        double sum = 0.0;
        for (std::size_t i : m.masked) sum += volume.volume[i];
        globalMean = sum / static_cast<double>(m.masked.size());
        // DVARS: the root mean square over the mask of the change from the volume before.
        if (m.previousVolume.size() == voxels) {
            double squares = 0.0;
            for (std::size_t i : m.masked) {
                const double change = static_cast<double>(volume.volume[i]) - m.previousVolume[i];
                squares += change * change;
            }
            dvars = std::sqrt(squares / static_cast<double>(m.masked.size()));
        }
        m.previousVolume.assign(volume.volume, volume.volume + voxels);
    }
    const double fd = m.haveMotion ? framewiseDisplacement(m.previousMotion, volume.motion) : 0.0;
    m.previousMotion = volume.motion;
    m.haveMotion = true;

    std::string json = "{\"index\":" + std::to_string(volume.index) +
                       ",\"motion_warning\":" + jsonString(volume.motionWarning) + ",\"motion\":[";
    for (int k = 0; k < 6; ++k) json += (k ? "," : "") + jsonMotionValue(volume.motion[k]);
    json += "],\"motion_reliable\":" + std::string(volume.motionReliable ? "true" : "false") +
            ",\"fd\":" + jsonNumber(fd) + ",\"dvars\":" + jsonNumber(dvars) +
            ",\"global_mean\":" + jsonNumber(globalMean) +
            ",\"latency_ms\":" + jsonNumber(volume.timing.stepSeconds * 1000.0) +
            ",\"motion_ms\":" + jsonNumber(volume.timing.motionSeconds * 1000.0) +
            ",\"arrival_s\":" + jsonNumber(volume.timing.arrivalSeconds) + "}";
    m.publish("volume", json, &m.volumes, nullptr);

    const bool due = m.mapsVersion == 0 || std::chrono::duration<double>(Clock::now() - m.lastMapsCopy).count() >=
                                               m.settings.mapRefreshSeconds;
    if (due && volume.maps != nullptr) {
        static const std::vector<std::string> noNames;
        m.copyMaps(volume.maps, volume.mapCount, volume.mapNames ? *volume.mapNames : noNames, volume.index);
    }
}

void LiveView::hostLogLine(const std::string& line) {
    impl_->publish("log", "{\"line\":" + jsonString(line) + "}", &impl_->log, nullptr);
}

void LiveView::runFinished(const RunFinished& run) {
    Impl& m = *impl_;
    // The maps at the end, whenever they were last copied.
    if (run.host != nullptr && run.volumeCount > 0 &&
        run.host->pluginMaps.size() >=
            static_cast<std::size_t>(run.host->mapCount()) * static_cast<std::size_t>(m.series.voxelCount()))
        m.copyMaps(run.host->pluginMaps.data(), run.host->mapCount(), run.host->mapNames, run.volumeCount - 1);
    const double elapsed = std::chrono::duration<double>(Clock::now() - m.runStart).count();
    const std::string json =
        "{\"volumes\":" + std::to_string(run.volumeCount) + ",\"partial\":" + (run.partial ? "true" : "false") +
        ",\"reason\":" + jsonString(run.endReason) + ",\"refused_steps\":" + std::to_string(run.refusedSteps) +
        ",\"elapsed_s\":" + jsonNumber(elapsed) +
        ",\"report\":" + (m.settings.reportPath.empty() ? "null" : jsonString(m.settings.reportPath)) + "}";
    m.publish("end", json, nullptr, &m.end, run.partial ? "partial" : "finished", true);
}

}  // namespace korvanth
