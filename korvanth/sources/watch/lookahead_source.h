// A series taken only once it has shown itself to be a run: its first few
// volumes are read before the run begins, so that a series of one volume (a
// localiser, an anatomical scan, a field map) is recognised and never run.
// The volumes read ahead are then handed over as they came, with their own
// arrival times, and the rest as the inner source gives them.
#pragma once

#include "korvanth/run/volume_source.h"

#include <deque>
#include <string>
#include <vector>

namespace korvanth {

class LookaheadSource final : public VolumeSource {
public:
    // Reads ahead `volumes` volumes of `inner` (which must outlive it).
    LookaheadSource(VolumeSource& inner, int32_t volumes) : inner_(inner), wanted_(volumes) {}

    // Opens `inner` and reads ahead. True also when the series ended before
    // `volumes` came (shortSeries() then says so, and why it ended); false
    // only when `inner` could not be opened.
    bool open(SeriesInfo& series, std::string& error) override;
    Next next(std::vector<int16_t>& volume, std::string& error) override;
    VolumeArrival lastArrival() const override { return arrival_; }
    int64_t changedValues() const override { return inner_.changedValues(); }

    // Whether the series ended with fewer than the wanted volumes, how many
    // it had, and the inner source's reason when it failed.
    bool shortSeries() const { return ended_ && readAhead_ < wanted_; }
    int32_t volumesReadAhead() const { return readAhead_; }
    const std::string& endError() const { return endError_; }

private:
    struct Ahead {
        std::vector<int16_t> voxels;
        VolumeArrival arrival;
    };
    VolumeSource& inner_;
    int32_t wanted_;
    std::deque<Ahead> ahead_;
    int32_t readAhead_ = 0;
    bool ended_ = false;
    Next endedWith_ = Next::EndOfRun;
    std::string endError_;
    VolumeArrival arrival_;
};

}  // namespace korvanth
