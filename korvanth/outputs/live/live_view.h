// The live view: the run in a browser, volume by volume. A run observer that
// copies what the page shows at the end of each volume, and an HTTP server on
// threads of its own that serves it:
//   GET /               the page (its script and style inlined; nothing from elsewhere)
//   GET /events         Server-Sent Events: run, volume, log, end; resumes after Last-Event-ID
//   GET /api/state      the whole run so far as JSON
//   GET /maps/<0-7>.png the latest montage of one plug-in map
// and, following a session (LiveViewSettings::session):
//   GET /api/session    the session's record (session.json), also sent as session events
//   GET /runs/<folder>/<file> a file of a finished run's committed results, read only
// Anything else is 404. No request changes the run, and the run never waits
// for a client: each client's events go through a bounded queue, and a client
// that falls that far behind is dropped (a browser reconnects and resumes).
#pragma once

#include "korvanth/outputs/live/serve_address.h"
#include "korvanth/run/run_observer.h"
#include "korvanth/run/volume_metrics.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace korvanth {

struct LiveViewSettings {
    std::string address = "127.0.0.1";
    int port = 8080;                                  // 0: any free port (port() tells which)
    FdThresholds fdThresholds = defaultFdThresholds;  // the lines of the FD plot and the counts under them
    double targetMinutes = defaultTargetMinutes;      // low-motion time wanted
    std::string reportPath;                           // report.html as the page names it after the run; empty: none
    std::size_t clientQueueEvents = 256;              // events a client may lag behind before it is dropped
    int maxClients = 64;                              // event streams open at once; more are answered 503
    double mapRefreshSeconds = 0.25;                  // the maps are copied (and drawn anew) at most this often
    bool session = false;                             // several runs, one after another: streams go on past a run's end
};

class LiveView final : public RunObserver {
public:
    explicit LiveView(LiveViewSettings settings);
    ~LiveView() override;  // stops the server
    LiveView(const LiveView&) = delete;
    LiveView& operator=(const LiveView&) = delete;

    // Binds the address and serves from threads of its own. False with
    // `error` when the address cannot be bound.
    bool start(std::string& error);
    int port() const;
    std::string url() const;
    // Ends every stream and the server; waits for its threads.
    void stop();
    // Waits until `seconds` have passed (negative: without end) or a stop
    // was requested (requestRunStop(), e.g. on Ctrl-C).
    void linger(double seconds) const;

    // Clients dropped so far for not reading their events.
    int64_t droppedClients() const;

    // A session's record changed (as session.json holds it); sent to the page.
    void sessionChanged(const std::string& sessionJson);
    // A finished run's results, committed in `folder` (at `path`): the files
    // named in `files` are served under /runs/<folder>/, nothing else.
    void runCommitted(const std::string& folder, const std::filesystem::path& path,
                      const std::vector<std::string>& files);

    void runStarted(const SeriesInfo& series) override;
    void volumeDone(const VolumeDone& volume) override;
    void hostLogLine(const std::string& line) override;
    void runFinished(const RunFinished& run) override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace korvanth
