// Time in seconds, as Korvanth measures and waits: one conversion each way
// between a clock's durations and seconds held in a double.
#pragma once

#include <chrono>

namespace korvanth {

// Seconds from `from` to `to` (negative when `to` came first), both of one clock.
template <class TimePoint>
double secondsBetween(TimePoint from, TimePoint to) {
    return std::chrono::duration<double>(to - from).count();
}

// `seconds` as the steady clock's duration, cut to its tick.
inline std::chrono::steady_clock::duration steadyDuration(double seconds) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace korvanth
