// The state of the stand-in host: what it tells a plug-in through its
// exported functions and what a plug-in has told it.
#pragma once

#include "tarvex/host_function_list.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace korvanth {

// Slots of the host functions, in the order the plug-in resolves them.
enum class HostCall : int {
#define KORVANTH_HOST_CALL_SLOT(stem) stem,
    TARVEX_HOST_FUNCTIONS_ALL(KORVANTH_HOST_CALL_SLOT)
#undef KORVANTH_HOST_CALL_SLOT
        Count
};
constexpr int hostCallCount = static_cast<int>(HostCall::Count);

// The exported name of each slot ("tGetVersionOfKRV", ...).
extern const char* const hostCallNames[hostCallCount];

struct HostVersion {
    int32_t major = 3;
    int32_t minor = 1;
    int32_t subMinor = 0;
};

// Parses "X.Y.Z" (parts may be negative). Returns false on anything else.
bool parseHostVersion(const std::string& text, HostVersion& version);

struct HostState {
    HostVersion version;
    std::string programPath;
    std::string pluginsPath;
    std::string targetFolder;  // ends with a separator: the motion log is <targetFolder><projectName>_3DMC.log
    std::string projectName = "synthetic";
    std::string watchFolder;
    std::string feedbackFolder;

    // The functional run: dimensions and the volumes acquired so far, each
    // dims[0] * dims[1] * dims[2] signed 16-bit intensities.
    int32_t dims[3] = {0, 0, 0};
    int32_t expectedTimePoints = 0;
    std::vector<std::vector<int16_t>> volumes;
    std::vector<int16_t*> timeCourse;  // what tGetTimeCourseData hands out

    // Plug-in maps: registeredMapCount maps of voxelCount() floats each.
    int32_t registeredMapCount = 0;
    int32_t registerCalls = 0;
    std::vector<float> pluginMaps;
    std::vector<std::string> mapNames;
    std::vector<int32_t> mapDisplayStatus;  // -1 until the plug-in sets one
    bool pluginMapsShown = false;
    int32_t mapListUpdates = 0;
    float pluginMapsThreshold = 0.0f;

    // Every line the plug-in logged, raw, in order; each is also handed to
    // the listener, when there is one (the terminal, the run's observers).
    std::vector<std::string> log;
    std::function<void(const std::string&)> logListener;

    std::array<int64_t, hostCallCount> calls{};

    int32_t voxelCount() const;
    // The number of maps the map block holds (registered, or 8 before any registration).
    int32_t mapCount() const;
    int64_t callsTo(HostCall call) const { return calls[static_cast<int>(call)]; }
    void countCall(HostCall call) { ++calls[static_cast<int>(call)]; }

    // Starts a run of the given size: forgets the volumes and sizes the map
    // block (its contents are kept where the size allows, as a display would).
    void beginRun(int32_t dimX, int32_t dimY, int32_t dimZ, int32_t expectedVolumes);
    // Acquires one more volume (voxelCount() intensities). The time course
    // grows; the volumes already in it stay where they are.
    void appendVolume(std::vector<int16_t> volume);
};

// The host process's one state.
HostState& host();

}  // namespace korvanth
