#include "motion_log_writer.h"

#include "platform.h"

#include <cstring>

namespace korvanth {

namespace {
constexpr std::size_t valueWindow = 8;
constexpr const char* keys[6] = {"dx:", "dy:", "dz:", "rx:", "ry:", "rz:"};
}  // namespace

std::string formatMotionValue(double value) {
    char text[64];
    for (int decimals = 6; decimals >= 0; --decimals) {
        std::snprintf(text, sizeof text, "%.*f", decimals, value);
        if (std::strlen(text) <= valueWindow) return text;
    }
    // Too large for fixed notation within the window: the exponent form, with
    // as many mantissa digits as still fit.
    for (int decimals = 6; decimals > 0; --decimals) {
        std::snprintf(text, sizeof text, "%.*e", decimals, value);
        if (std::strlen(text) <= valueWindow) return text;
    }
    std::snprintf(text, sizeof text, "%.0e", value);
    return text;
}

MotionLogWriter::MotionLogWriter(const std::string& targetFolder, const std::string& projectName)
    : path_(targetFolder + projectName + "_3DMC.log"), file_(createSharedLogFile(path_)) {
    if (file_ == nullptr) return;
    std::fprintf(file_, "Korvanth 3D motion correction log\n");
    std::fprintf(file_, "Project: %s\n", projectName.c_str());
    std::fprintf(file_, "Per volume: dx dy dz (mm), rx ry rz (degrees), relative to volume 1\n");
    std::fflush(file_);
}

MotionLogWriter::~MotionLogWriter() {
    if (file_ != nullptr) std::fclose(file_);
}

void MotionLogWriter::append(int volume, const MotionEstimate& estimate) {
    if (file_ == nullptr) return;
    std::fprintf(file_, "Volume %d:", volume + 1);
    for (int i = 0; i < 6; ++i) std::fprintf(file_, " %s%s", keys[i], formatMotionValue(estimate[i]).c_str());
    std::fprintf(file_, "\n");
    std::fflush(file_);
}

}  // namespace korvanth
