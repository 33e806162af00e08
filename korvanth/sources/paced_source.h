// A recorded run replayed at the pace of an acquisition: each volume is
// handed over one TR after the previous one, as a scanner would.
#pragma once

#include "korvanth/run/volume_source.h"

#include <chrono>

namespace korvanth {

class PacedSource final : public VolumeSource {
public:
    // Hands over the volumes of `inner` (which must outlive it) every `seconds`.
    PacedSource(VolumeSource& inner, double seconds) : inner_(inner), seconds_(seconds) {}
    bool open(SeriesInfo& series, std::string& error) override { return inner_.open(series, error); }
    Next next(std::vector<int16_t>& volume, std::string& error) override;
    int64_t changedValues() const override { return inner_.changedValues(); }

private:
    VolumeSource& inner_;
    double seconds_;
    int64_t handedOver_ = 0;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace korvanth
