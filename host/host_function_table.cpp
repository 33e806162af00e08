#include "host_function_table.h"

#include <type_traits>

namespace tarvex {

namespace {
HostFunctionTable table{};  // all null at load

bool hasEveryCalledFunction(const HostFunctionTable& t) {
    return t.tGetVersionOfKRV && t.tGetKRVPath && t.tGetPluginsPath && t.tLogText &&
           t.tGetDimsOfFunctionalData && t.tGetProjectName && t.tGetTargetFolder &&
           t.tGetTimeCourseData && t.tRegisterMaps && t.tSetPluginMapName &&
           t.tSetDisplayStatusOfMap && t.tUpdateMapList && t.tShowPluginMaps && t.tGetPluginMaps;
}
}  // namespace

HostFunctionTable& hostFunctions() { return table; }

bool loadHostFunctions(const HostLookup& lookup) {
    void* const module = lookup.findHostModule();
    if (module == nullptr) return false;

    // Every answer is stored as it comes, null included; only the version
    // function decides whether the rest is resolved at all.
    auto resolve = [&](auto& entry, const char* name) {
        using Entry = std::remove_reference_t<decltype(entry)>;
        entry = reinterpret_cast<Entry>(lookup.findFunction(module, name));
    };
    HostFunctionTable& t = table;
    resolve(t.tGetVersionOfKRV, "tGetVersionOfKRV");
    if (t.tGetVersionOfKRV == nullptr) return false;
    resolve(t.tGetKRVPath, "tGetKRVPath");
    resolve(t.tGetPluginsPath, "tGetPluginsPath");
    resolve(t.tLogText, "tLogText");
    resolve(t.tMessageBox, "tMessageBox");
    resolve(t.tYesNoMessageBox, "tYesNoMessageBox");
    resolve(t.tGetIntegerInput, "tGetIntegerInput");
    resolve(t.tGetFloatInput, "tGetFloatInput");
    resolve(t.tGetTextInput, "tGetTextInput");
    resolve(t.tGetOpenFileName, "tGetOpenFileName");
    resolve(t.tGetSaveFileName, "tGetSaveFileName");
    resolve(t.tGetCurrentTimePoint, "tGetCurrentTimePoint");
    resolve(t.tGetExpectedNrOfTimePoints, "tGetExpectedNrOfTimePoints");
    resolve(t.tGetDimsOfFunctionalData, "tGetDimsOfFunctionalData");
    resolve(t.tGetProjectName, "tGetProjectName");
    resolve(t.tGetWatchFolder, "tGetWatchFolder");
    resolve(t.tGetTargetFolder, "tGetTargetFolder");
    resolve(t.tGetFeedbackFolder, "tGetFeedbackFolder");
    resolve(t.tGetCurrentProtocolCondition, "tGetCurrentProtocolCondition");
    resolve(t.tGetFullNrOfPredictors, "tGetFullNrOfPredictors");
    resolve(t.tGetCurrentNrOfPredictors, "tGetCurrentNrOfPredictors");
    resolve(t.tGetNrOfConfoundPredictors, "tGetNrOfConfoundPredictors");
    resolve(t.tGetValueOfDesignMatrix, "tGetValueOfDesignMatrix");
    resolve(t.tGetNrOfContrasts, "tGetNrOfContrasts");
    resolve(t.tGetNrOfROIs, "tGetNrOfROIs");
    resolve(t.tGetMeanOfROI, "tGetMeanOfROI");
    resolve(t.tGetNrOfVoxelsOfROI, "tGetNrOfVoxelsOfROI");
    resolve(t.tGetBetaOfROI, "tGetBetaOfROI");
    resolve(t.tGetCoordsOfVoxelOfROI, "tGetCoordsOfVoxelOfROI");
    resolve(t.tGetValueOfVoxelAtTime, "tGetValueOfVoxelAtTime");
    resolve(t.tGetTimeCourseData, "tGetTimeCourseData");
    resolve(t.tGetBetaOfVoxel, "tGetBetaOfVoxel");
    resolve(t.tGetBetaMaps, "tGetBetaMaps");
    resolve(t.tGetMapValueOfVoxel, "tGetMapValueOfVoxel");
    resolve(t.tGetContrastMaps, "tGetContrastMaps");
    resolve(t.tRegisterMaps, "tRegisterMaps");
    resolve(t.tSetPluginMapName, "tSetPluginMapName");
    resolve(t.tSetDisplayStatusOfMap, "tSetDisplayStatusOfMap");
    resolve(t.tUpdateMapList, "tUpdateMapList");
    resolve(t.tSetPluginMapsThreshold, "tSetPluginMapsThreshold");
    resolve(t.tShowPluginMaps, "tShowPluginMaps");
    resolve(t.tGetPluginMaps, "tGetPluginMaps");
    resolve(t.tGetNumberOfClasses, "tGetNumberOfClasses");
    resolve(t.tGetCurrentClassifierOutput, "tGetCurrentClassifierOutput");

    // The plug-in calls its functions without testing them, so a host that
    // lacks one of them is refused here rather than crashed later.
    return hasEveryCalledFunction(t);
}

bool hostVersionAccepted(int32_t major, int32_t minor, int32_t subMinor) {
    if (major != 3) return major > 3;
    if (minor != 0) return minor > 0;
    return subMinor >= 0;
}

bool bindToHost(const HostLookup& lookup) {
    if (!loadHostFunctions(lookup)) return false;
    int32_t major = 0, minor = 0, subMinor = 0;
    table.tGetVersionOfKRV(&major, &minor, &subMinor);
    return hostVersionAccepted(major, minor, subMinor);
}

}  // namespace tarvex
