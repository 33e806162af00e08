#include "host_state.h"

#include <cstdlib>
#include <regex>

namespace korvanth {

const char* const hostCallNames[hostCallCount] = {
    "tGetVersionOfKRV", "tGetKRVPath", "tGetPluginsPath", "tLogText", "tMessageBox", "tYesNoMessageBox",
    "tGetIntegerInput", "tGetFloatInput", "tGetTextInput", "tGetOpenFileName", "tGetSaveFileName",
    "tGetCurrentTimePoint", "tGetExpectedNrOfTimePoints", "tGetDimsOfFunctionalData", "tGetProjectName",
    "tGetWatchFolder", "tGetTargetFolder", "tGetFeedbackFolder", "tGetCurrentProtocolCondition",
    "tGetFullNrOfPredictors", "tGetCurrentNrOfPredictors", "tGetNrOfConfoundPredictors",
    "tGetValueOfDesignMatrix", "tGetNrOfContrasts", "tGetNrOfROIs", "tGetMeanOfROI", "tGetNrOfVoxelsOfROI",
    "tGetBetaOfROI", "tGetCoordsOfVoxelOfROI", "tGetValueOfVoxelAtTime", "tGetTimeCourseData",
    "tGetBetaOfVoxel", "tGetBetaMaps", "tGetMapValueOfVoxel", "tGetContrastMaps", "tRegisterMaps",
    "tSetPluginMapName", "tSetDisplayStatusOfMap", "tUpdateMapList", "tSetPluginMapsThreshold",
    "tShowPluginMaps", "tGetPluginMaps", "tGetNumberOfClasses", "tGetCurrentClassifierOutput",
};

bool parseHostVersion(const std::string& text, HostVersion& version) {
    static const std::regex pattern(R"((-?\d{1,9})\.(-?\d{1,9})\.(-?\d{1,9}))");
    std::smatch parts;
    if (!std::regex_match(text, parts, pattern)) return false;
    version.major = static_cast<int32_t>(std::stol(parts[1]));
    version.minor = static_cast<int32_t>(std::stol(parts[2]));
    version.subMinor = static_cast<int32_t>(std::stol(parts[3]));
    return true;
}

int32_t HostState::voxelCount() const {
    const int64_t count = static_cast<int64_t>(dims[0]) * dims[1] * dims[2];
    return count > 0 && count <= INT32_MAX ? static_cast<int32_t>(count) : 0;
}

void HostState::beginRun(int32_t dimX, int32_t dimY, int32_t dimZ, int32_t expectedVolumes) {
    dims[0] = dimX;
    dims[1] = dimY;
    dims[2] = dimZ;
    expectedTimePoints = expectedVolumes;
    volumes.clear();
    timeCourse.clear();
    const int32_t mapCount = registeredMapCount > 0 ? registeredMapCount : 8;
    pluginMaps.resize(static_cast<std::size_t>(mapCount) * static_cast<std::size_t>(voxelCount()), 0.0f);
}

void HostState::appendVolume(std::vector<int16_t> volume) {
    volumes.push_back(std::move(volume));
    timeCourse.push_back(volumes.back().data());
}

HostState& host() {
    static HostState state;
    return state;
}

std::string renderLogLine(const std::string& line, bool colour) {
    std::string out;
    for (std::size_t i = 0; i < line.size();) {
        auto tag = [&](const char* text) { return line.compare(i, std::char_traits<char>::length(text), text) == 0; };
        if (tag("<br>")) { out += '\n'; i += 4; }
        else if (tag("<b>")) { if (colour) out += "\x1b[1m"; i += 3; }
        else if (tag("</b>")) { if (colour) out += "\x1b[22m"; i += 4; }
        else if (tag("<i>")) { if (colour) out += "\x1b[3m"; i += 3; }
        else if (tag("</i>")) { if (colour) out += "\x1b[23m"; i += 4; }
        else { out += line[i]; ++i; }
    }
    return out;
}

}  // namespace korvanth
