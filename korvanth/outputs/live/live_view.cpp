#include "korvanth/outputs/live/live_view.h"

#include "korvanth/host/host_state.h"
#include "korvanth/outputs/live/event_broker.h"
#include "korvanth/outputs/live/live_json.h"
#include "korvanth/outputs/live/map_snapshots.h"
#include "korvanth/outputs/live/run_files.h"
#include "korvanth/run/clock.h"
#include "korvanth/run/volume_source.h"
#include "tarvex/qc_conventions.h"

#include <httplib.h>
#if defined(__linux__)
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

namespace korvanth {

// The page's files (korvanth/outputs/live/page/), compiled in; empty for an unknown name.
std::string_view liveViewAsset(std::string_view name);

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t maxRequestHeaders = 64;

std::string replaceOnce(std::string text, std::string_view what, const std::string& with) {
    const std::size_t at = text.find(what);
    if (at != std::string::npos) text.replace(at, what.size(), with);
    return text;
}

// The page as one document: its style sheet and script inlined, and before
// the script the settings it reads (live_json's pageSettingsJson), so that
// the server has one page to serve and the page nothing to fetch but the
// events, the state and the maps.
std::string assemblePage(const std::string& settingsJson) {
    std::string page(liveViewAsset("index.html"));
    page = replaceOnce(page, R"(<link rel="stylesheet" href="style.css">)",
                       "<style>\n" + std::string(liveViewAsset("style.css")) + "</style>");
    page = replaceOnce(page, R"(<script src="app.js"></script>)",
                       "<script id=\"settings\" type=\"application/json\">" + settingsJson + "</script>\n<script>\n" +
                           std::string(liveViewAsset("app.js")) + "</script>");
    return page;
}

// GET /maps/<k>.png for each of the plug-in's maps, k from 0.
std::string mapRoute() {
    static_assert(tarvex::pluginMapCount >= 1 && tarvex::pluginMapCount <= 10, "a map's number is one digit");
    return "/maps/([0-" + std::to_string(tarvex::pluginMapCount - 1) + R"(])\.png)";
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

}  // namespace

// The routes and the server; the run's thread feeds the broker and the maps.
struct LiveView::Impl {
    LiveViewSettings settings;
    httplib::Server server;
    std::thread thread;
    std::atomic<bool> serverEnded{false};
    int port = -1;
    std::string page;
    EventBroker broker;
    MapSnapshots maps;
    RunFiles runFiles;

    // The run's thread only.
    SeriesInfo series;
    Clock::time_point runStart = Clock::now();
    bool haveGrid = false;
    Clock::time_point lastMapsCopy;
    std::unique_ptr<MotionTally> motion;   // the run's FD so far
    std::vector<double> dvars, latencyMs;  // per volume, for the end's medians

    explicit Impl(LiveViewSettings s)
        : settings(std::move(s)), broker(settings.clientQueueEvents, settings.maxClients) {}

    void copyMaps(const float* values, int32_t mapCount, const std::vector<std::string>& names, int32_t volume) {
        const auto voxels = static_cast<std::size_t>(series.voxelCount());
        if (values == nullptr || mapCount <= 0 || voxels == 0) return;
        maps.copy(values, mapCount, voxels, names, volume);
        lastMapsCopy = Clock::now();
    }

    void serveMap(int map, httplib::Response& response) {
        MapPicture picture = maps.picture(map);
        response.status = picture.status;
        if (picture.status == 503) response.set_header("Retry-After", "1");
        if (picture.status != 200) {
            if (!picture.message.empty()) response.set_content(picture.message, "text/plain");
            return;
        }
        response.set_header("X-Volume-Index", std::to_string(picture.volume));
        response.set_content(picture.png, "image/png");
    }

    // GET /events through the broker, whose stream is written to the response's.
    void serveEvents(const httplib::Request& request, httplib::Response& response) {
        std::shared_ptr<EventBroker::Stream> stream = broker.open(request.get_header_value("Last-Event-ID"));
        if (!stream) {
            response.status = 503;
            response.set_header("Retry-After", "5");
            response.set_content("too many event streams\n", "text/plain");
            return;
        }
        response.set_chunked_content_provider(
            "text/event-stream",
            [this, stream](std::size_t, httplib::DataSink& sink) {
                const EventSink to{[&sink](const char* data, std::size_t size) { return sink.write(data, size); },
                                   [&sink] { sink.done(); }};
                return broker.next(*stream, to);
            },
            [this, stream](bool) { broker.close(stream); });
    }

    void serveRunFile(const std::string& folder, const std::string& name, httplib::Response& response) {
        auto reader = std::make_shared<RunFileReader>();
        if (!runFiles.open(folder, name, *reader)) {
            response.status = 404;
            return;
        }
        const std::uintmax_t size = reader->size();
        response.set_content_provider(static_cast<std::size_t>(size), contentTypeOf(name),
                                      [reader, chunk = std::vector<char>()](std::size_t offset, std::size_t length,
                                                                            httplib::DataSink& sink) mutable {
                                          return reader->read(offset, length, chunk) &&
                                                 sink.write(chunk.data(), chunk.size());
                                      });
    }

    void route() {
        page = assemblePage(pageSettingsJson(settings.fdThresholds, settings.targetMinutes));
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
        server.Get("/api/state", [this](const httplib::Request&, httplib::Response& response) {
            response.set_content(stateJson(broker.record(), maps.volume()), "application/json");
        });
        server.Get(mapRoute(), [this](const httplib::Request& request, httplib::Response& response) {
            serveMap(request.matches[1].str()[0] - '0', response);
        });
        if (!settings.session) return;
        server.Get("/api/session", [this](const httplib::Request&, httplib::Response& response) {
            const SharedText session = broker.record().session;
            response.set_content(session ? *session : std::string("{\"series\":[]}"), "application/json");
        });
        server.Get(R"(/runs/([^/]+)/([^/]+))", [this](const httplib::Request& request, httplib::Response& response) {
            serveRunFile(request.matches[1].str(), request.matches[2].str(), response);
        });
    }
};

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
    m.broker.stop();
    if (m.thread.joinable()) {
        // The server's thread may not have begun listening yet, and stop() ends only a running server.
        while (!m.server.is_running() && !m.serverEnded) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        m.server.stop();
        m.thread.join();
    }
}

void LiveView::linger(double seconds) const {
    const Clock::time_point until = Clock::now() + steadyDuration(std::max(seconds, 0.0));
    while (!runStopRequested() && (seconds < 0.0 || Clock::now() < until))
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

int64_t LiveView::droppedClients() const { return impl_->broker.droppedClients(); }

void LiveView::runStarted(const SeriesInfo& series) {
    Impl& m = *impl_;
    m.series = series;
    m.runStart = Clock::now();
    if (m.haveGrid) m.maps.reset();  // a session's next run
    m.haveGrid = false;
    m.motion = std::make_unique<MotionTally>(m.settings.fdThresholds);
    m.dvars.clear();
    m.latencyMs.clear();
    m.broker.publish("run", runEventJson(series, m.settings.fdThresholds, m.settings.targetMinutes), Kept::Run,
                     "running");
}

void LiveView::volumeDone(const VolumeDone& volume) {
    Impl& m = *impl_;
    const auto voxels = static_cast<std::size_t>(m.series.voxelCount());
    if (volume.volume != nullptr && voxels > 0 && !m.haveGrid) {
        m.maps.setGrid(montageGrid(m.series.dims, m.series.voxelSizeMm,
                                   std::vector<float>(volume.volume, volume.volume + voxels)));
        m.haveGrid = true;
    }
    if (!m.motion) m.motion = std::make_unique<MotionTally>(m.settings.fdThresholds);
    m.motion->add(volume.metrics.framewiseDisplacementMm);
    m.dvars.push_back(volume.metrics.dvars);
    m.latencyMs.push_back(volume.timing.stepSeconds * 1000.0);
    LiveFigures figures;
    figures.motion = m.motion.get();
    figures.repetitionTimeSeconds = m.series.repetitionTimeSeconds;
    figures.targetMinutes = m.settings.targetMinutes;
    m.broker.publish("volume", volumeEventJson(volume, figures), Kept::Volume);
    if (volume.timing.timeline.late) {
        char line[160];
        std::snprintf(line, sizeof line,
                      "warning: volume %d came %.2f s later than the volume before it, more than a TR late from "
                      "the scanner",
                      volume.index + 1, volume.timing.timeline.lateBySeconds);
        hostLogLine(line);
    }

    const bool due =
        m.maps.copies() == 0 || secondsBetween(m.lastMapsCopy, Clock::now()) >= m.settings.mapRefreshSeconds;
    if (due && volume.maps != nullptr) {
        static const std::vector<std::string> noNames;
        m.copyMaps(volume.maps, volume.mapCount, volume.mapNames ? *volume.mapNames : noNames, volume.index);
    }
}

void LiveView::hostLogLine(const std::string& line) { impl_->broker.publish("log", logEventJson(line), Kept::Log); }

void LiveView::runFinished(const RunFinished& run) {
    Impl& m = *impl_;
    // The maps at the end, whenever they were last copied.
    if (run.host != nullptr && run.volumeCount > 0 &&
        run.host->pluginMaps.size() >=
            static_cast<std::size_t>(run.host->mapCount()) * static_cast<std::size_t>(m.series.voxelCount()))
        m.copyMaps(run.host->pluginMaps.data(), run.host->mapCount(), run.host->mapNames, run.volumeCount - 1);
    const double elapsed = secondsBetween(m.runStart, Clock::now());
    m.broker.publish(
        "end", endEventJson(run, elapsed, m.settings.reportPath, m.dvars, m.latencyMs, m.series.repetitionTimeSeconds),
        Kept::End, run.partial ? "partial" : "finished", !m.settings.session);
}

void LiveView::sessionChanged(const std::string& sessionJson) {
    impl_->broker.publish("session", sessionJson, Kept::Session);
}

void LiveView::runCommitted(const std::string& folder, const std::filesystem::path& path,
                            const std::vector<std::string>& files) {
    impl_->runFiles.add(folder, path, files);
}

}  // namespace korvanth
