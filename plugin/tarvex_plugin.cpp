#include "plugin/tarvex_plugin.h"

#include "plugin/host_binding/host_function_table.h"
#include "tarvex/host_buffer_sizes.h"
#include "tarvex/qc_conventions.h"

#include <cstdio>
#include <new>
#include <string>

using tarvex::hostFunctions;
using tarvex::hostPathBufferSize;

namespace {
constexpr int32_t registeredMapCount = tarvex::pluginMapCount;
constexpr const char* mapNames[registeredMapCount] = {
    "Translation X", "Translation Y", "Translation Z", "Rotation X", "Rotation Y", "Rotation Z", "Constant", "tSNR",
};

// Logs "<format with the host's path>" for one of the host's path queries.
template <typename Query>
void logHostPath(Query query, const char* format) {
    char path[hostPathBufferSize] = {};
    query(path);
    path[hostPathBufferSize - 1] = '\0';  // a host that fills the buffer is cut inside it
    char line[64 + hostPathBufferSize];
    std::snprintf(line, sizeof line, format, path);
    hostFunctions().tLogText(line);
}
}  // namespace

KRVPluginInterface::KRVPluginInterface() = default;
KRVPluginInterface::KRVPluginInterface(const KRVPluginInterface&) = default;
KRVPluginInterface& KRVPluginInterface::operator=(const KRVPluginInterface&) = default;
KRVPluginInterface::~KRVPluginInterface() = default;

TarvexPlugin::TarvexPlugin() = default;
TarvexPlugin::~TarvexPlugin() = default;

bool TarvexPlugin::initPlugin() { return tarvex::bindToHost(); }

bool TarvexPlugin::executePreRun() {
    const tarvex::HostFunctionTable& host = hostFunctions();
    host.tLogText("<b>Korvanth real-time quality control plugin</b>");
    host.tLogText("Note: tSNR values are devided by 30.");
    host.tLogText("");
    logHostPath(host.tGetKRVPath, "Info - Path to KRV: %s");
    logHostPath(host.tGetPluginsPath, "Info - Path to Plugins: %s");
    host.tLogText(" ");
    host.tLogText("Plugin ready.");
    host.tLogText(" ");

    stepCount = 0;
    motionParamCount = tarvex::motionParameterCount;
    extraMapCount = 1;
    host.tRegisterMaps(registeredMapCount);
    for (int32_t map = 0; map < registeredMapCount; ++map) host.tSetPluginMapName(map, mapNames[map]);
    host.tShowPluginMaps(true);
    firstStepPending = true;
    host.tUpdateMapList();
    return true;
}

bool TarvexPlugin::executePreStep() {
    if (!firstStepPending) return true;
    const tarvex::HostFunctionTable& host = hostFunctions();
    host.tGetDimsOfFunctionalData(&dimX, &dimY, &dimZ);

    if (!tarvex::dimensionsUsable(dimX, dimY, dimZ)) {
        // No map of that size can exist: nothing is sized or written, and the
        // next executePreStep asks for the dimensions again. Like every refused
        // operation it leaves stepCount as it was.
        voxelModels.clear();
        voxelCount = 0;
        faultLog_.report(tarvex::RunFaultLog::Dimensions, "Unusable volume dimensions " + std::to_string(dimX) + " x " +
                                                              std::to_string(dimY) + " x " + std::to_string(dimZ) +
                                                              "; no maps are computed.");
        return false;
    }
    voxelCount = dimX * dimY * dimZ;

    for (int32_t map = 0; map <= motionParamCount; ++map) {
        host.tSetDisplayStatusOfMap(map, map == 0 ? 1 : 0);
        for (int32_t v = 0; v < voxelCount; ++v) {
            float* const maps = host.tGetPluginMaps();
            if (maps == nullptr) {
                // The run cannot start: the last run's models go, so that no
                // later step can carry their statistics into this run.
                voxelModels.clear();
                voxelCount = 0;
                faultLog_.report(tarvex::RunFaultLog::HostData, "Host returned no plug-in maps; run not started.");
                return false;
            }
            maps[v + map * voxelCount] = 0.0f;
        }
    }
    stepCount = 0;

    // The last run's models are released before the fresh ones are made.
    voxelModels.reset(voxelCount);

    firstStepPending = false;
    return true;
}

bool TarvexPlugin::executePostStep() {
    return tarvex::updateQualityMaps({stepCount, voxelCount, voxelModels}, faultLog_);
}

bool TarvexPlugin::executePostRun() {
    const tarvex::HostFunctionTable& host = hostFunctions();
    faultLog_.finishRun();
    host.tLogText(" ");
    host.tLogText("Plugin completed processing.");
    firstStepPending = true;
    return true;
}
