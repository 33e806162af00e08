// The live view: the run in a browser, volume by volume. A run observer that
// copies what the page shows at the end of each volume, and an HTTP server on
// threads of its own that serves it:
//   GET /               the page (its script and style inlined; nothing from elsewhere)
//   GET /events         Server-Sent Events: run, volume, log, end; resumes after Last-Event-ID
//   GET /api/state      the whole run so far as JSON
//   GET /maps/<0-7>.png the latest montage of one plug-in map
// Anything else is 404. No request changes the run, and the run never waits
// for a client: each client's events go through a bounded queue, and a client
// that falls that far behind is dropped (a browser reconnects and resumes).
#pragma once

#include "korvanth/run/run_observer.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace korvanth {

struct LiveViewSettings {
    std::string address = "127.0.0.1";
    int port = 8080;                      // 0: any free port (port() tells which)
    double fdThresholds[2] = {0.2, 0.5};  // mm, the lines of the FD plot and the counts under them
    double targetMinutes = 5.0;           // low-motion time wanted
    std::string reportPath;               // report.html as the page names it after the run; empty: none
    std::size_t clientQueueEvents = 256;  // events a client may lag behind before it is dropped
    int maxClients = 64;                  // event streams open at once; more are answered 503
    double mapRefreshSeconds = 0.25;      // the maps are copied (and drawn anew) at most this often
};

// "[ADDR:]PORT" (an IPv6 address in brackets) into `address` (default
// 127.0.0.1) and `port` (0 to 65535). False with `error` on anything else.
bool parseServeAddress(const std::string& text, std::string& address, int& port, std::string& error);
// Whether only this machine can reach `address`: every address it resolves to
// is a loopback address (127.0.0.0/8, ::1). A name that does not resolve is not.
bool isLoopbackAddress(const std::string& address);

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

    void runStarted(const SeriesInfo& series) override;
    void volumeDone(const VolumeDone& volume) override;
    void hostLogLine(const std::string& line) override;
    void runFinished(const RunFinished& run) override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace korvanth
