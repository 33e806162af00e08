// The host's motion log, written during a run as motion correction would.
#pragma once

#include "korvanth/run/motion_estimate.h"

#include <cstdio>
#include <string>

namespace korvanth {

// The longest text of at most 8 characters that holds `value` with the most
// decimals that fit, so that a reader that takes 8 characters gets it whole.
std::string formatMotionValue(double value);

// Whether the log can carry `value`: finite, and written without the exponent
// form (|value| below 10^7), so that a reader of the window gets it as it is.
bool motionLogCarries(double value);

class MotionLogWriter {
public:
    // Creates <targetFolder><projectName>_3DMC.log with its three header lines
    // and keeps it open (shared for reading) until destruction.
    MotionLogWriter(const std::string& targetFolder, const std::string& projectName);
    ~MotionLogWriter();
    MotionLogWriter(const MotionLogWriter&) = delete;
    MotionLogWriter& operator=(const MotionLogWriter&) = delete;

    bool isOpen() const { return file_ != nullptr; }
    const std::string& path() const { return path_; }
    // Appends the line of volume `volume` and flushes it, so that a reader
    // sees it at once. False when the log is not open or the line could not
    // be written.
    bool append(int volume, const MotionEstimate& estimate);

private:
    std::string path_;
    std::FILE* file_ = nullptr;
};

}  // namespace korvanth
