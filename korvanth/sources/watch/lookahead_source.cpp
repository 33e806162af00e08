#include "korvanth/sources/watch/lookahead_source.h"

namespace korvanth {

bool LookaheadSource::open(SeriesInfo& series, std::string& error) {
    if (!inner_.open(series, error)) return false;
    while (static_cast<int32_t>(ahead_.size()) < wanted_) {
        Ahead volume;
        const Next next = inner_.next(volume.voxels, endError_);
        if (next != Next::Volume) {
            ended_ = true;
            endedWith_ = next;
            break;
        }
        volume.arrival = inner_.lastArrival();
        volume.arrival.readAhead = true;
        ahead_.push_back(std::move(volume));
    }
    readAhead_ = static_cast<int32_t>(ahead_.size());
    return true;
}

VolumeSource::Next LookaheadSource::next(std::vector<int16_t>& volume, std::string& error) {
    if (!ahead_.empty()) {
        volume = std::move(ahead_.front().voxels);
        arrival_ = ahead_.front().arrival;
        ahead_.pop_front();
        return Next::Volume;
    }
    if (ended_) {
        error = endError_;
        return endedWith_;
    }
    const Next next = inner_.next(volume, error);
    if (next == Next::Volume) arrival_ = inner_.lastArrival();
    return next;
}

}  // namespace korvanth
