#include "korvanth/sources/paced_source.h"

#include "korvanth/run/clock.h"

#include <algorithm>
#include <thread>

namespace korvanth {

VolumeSource::Next PacedSource::next(std::vector<int16_t>& volume, std::string& error) {
    using Clock = std::chrono::steady_clock;
    if (handedOver_ == 0) start_ = Clock::now();
    const Clock::time_point due = start_ + steadyDuration(seconds_ * static_cast<double>(handedOver_));
    // Waits in short slices so that a stop request is seen at once.
    for (Clock::time_point now = Clock::now(); now < due; now = Clock::now()) {
        if (runStopRequested()) return Next::EndOfRun;
        std::this_thread::sleep_for(std::min<Clock::duration>(due - now, std::chrono::milliseconds(20)));
    }
    const Next next = inner_.next(volume, error);
    if (next == Next::Volume) ++handedOver_;
    return next;
}

}  // namespace korvanth
