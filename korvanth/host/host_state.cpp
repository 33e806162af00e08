#include "korvanth/host/host_state.h"

#include "tarvex/qc_conventions.h"

#include <cstdlib>
#include <regex>

namespace korvanth {

const char* const hostCallNames[hostCallCount] = {
#define KORVANTH_HOST_CALL_NAME(stem) "t" #stem,
    TARVEX_HOST_FUNCTIONS_ALL(KORVANTH_HOST_CALL_NAME)
#undef KORVANTH_HOST_CALL_NAME
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
    if (expectedVolumes > 0) {
        volumes.reserve(static_cast<std::size_t>(expectedVolumes));
        timeCourse.reserve(static_cast<std::size_t>(expectedVolumes));
    }
    // Every run starts from zeroed maps, as in a fresh host: a plug-in leaves
    // the voxels outside its mask as it found them.
    pluginMaps.assign(static_cast<std::size_t>(mapCount()) * static_cast<std::size_t>(voxelCount()), 0.0f);
}

int32_t HostState::mapCount() const { return registeredMapCount > 0 ? registeredMapCount : tarvex::pluginMapCount; }

void HostState::appendVolume(std::vector<int16_t> volume) {
    volumes.push_back(std::move(volume));
    timeCourse.push_back(volumes.back().data());
}

HostState& host() {
    static HostState state;
    return state;
}

}  // namespace korvanth
