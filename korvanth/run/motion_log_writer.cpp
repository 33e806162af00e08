#include "korvanth/run/motion_log_writer.h"

#include "korvanth/platform/platform.h"
#include "tarvex/qc_conventions.h"

#include <cmath>
#include <cstring>

namespace korvanth {

namespace {
using tarvex::motionValueWindow;
}  // namespace

std::string formatMotionValue(double value) {
    char text[64];
    for (int decimals = 6; decimals >= 0; --decimals) {
        std::snprintf(text, sizeof text, "%.*f", decimals, value);
        if (std::strlen(text) <= motionValueWindow) return text;
    }
    // Too large for fixed notation within the window: the exponent form, with
    // as many mantissa digits as still fit.
    for (int decimals = 6; decimals > 0; --decimals) {
        std::snprintf(text, sizeof text, "%.*e", decimals, value);
        if (std::strlen(text) <= motionValueWindow) return text;
    }
    std::snprintf(text, sizeof text, "%.0e", value);
    return text;
}

bool motionLogCarries(double value) {
    return std::isfinite(value) && formatMotionValue(value).find('e') == std::string::npos;
}

MotionLogWriter::MotionLogWriter(const std::string& targetFolder, const std::string& projectName)
    : path_(targetFolder + projectName + tarvex::motionLogSuffix), file_(createSharedLogFile(path_)) {
    if (file_ == nullptr) return;
    std::fprintf(file_, "Korvanth 3D motion correction log\n");
    std::fprintf(file_, "Project: %s\n", projectName.c_str());
    std::fprintf(file_, "Per volume: dx dy dz (mm), rx ry rz (degrees), relative to volume 1\n");
    std::fflush(file_);
}

MotionLogWriter::~MotionLogWriter() {
    if (file_ != nullptr) std::fclose(file_);
}

bool MotionLogWriter::append(int volume, const MotionEstimate& estimate) {
    if (file_ == nullptr) return false;
    bool written = std::fprintf(file_, "Volume %d:", volume + 1) > 0;
    for (int i = 0; i < tarvex::motionParameterCount; ++i)
        written =
            std::fprintf(file_, " %s%s", tarvex::motionKeys[i], formatMotionValue(estimate[i]).c_str()) > 0 && written;
    written = std::fprintf(file_, "\n") > 0 && written;
    return std::fflush(file_) == 0 && written;
}

}  // namespace korvanth
