#include "korvanth/app/serve.h"

#include "korvanth/platform/platform.h"

#include <cmath>
#include <filesystem>
#include <iostream>

namespace fs = std::filesystem;

namespace korvanth {

std::unique_ptr<LiveView> startLiveView(const KorvanthOptions& o, std::string& error) {
    LiveViewSettings settings;
    if (!parseServeAddress(o.serve, settings.address, settings.port, error)) return nullptr;
    settings.fdThresholds = o.fdThresholds;
    settings.targetMinutes = o.targetMinutes;
    settings.session = o.session;
#if KORVANTH_HAS_REPORT
    // A session's reports are served with their runs (/runs/<folder>/report.html).
    if (!o.session) settings.reportPath = (fs::absolute(o.outFolder) / "report.html").string();
#endif
    auto live = std::make_unique<LiveView>(settings);
    {
        // The server's threads are made with stop signals blocked: they reach
        // the run's thread only, and a commit that holds them back is not cut.
        const DeferredStopSignals deferred;
        if (!live->start(error)) return nullptr;
    }
    if (!isLoopbackAddress(settings.address))
        std::cerr << "warning: the live view listens on " << settings.address
                  << ": whoever can reach this machine there can watch the run\n";
    std::cout << "Live view: " << live->url() << std::endl;
    return live;
}

void lingerLiveView(LiveView& live, double seconds) {
    if (seconds == 0.0) return;
    rearmStopHandlers();
    clearRunStopRequest();
    std::cout << "Live view stays at " << live.url()
              << (seconds < 0.0 ? " until Ctrl-C"
                                : " for " + std::to_string(static_cast<int>(std::ceil(seconds))) + " s")
              << std::endl;
    live.linger(seconds);
}

}  // namespace korvanth
