// The functions a host exports for its plug-ins, in the order a plug-in
// resolves them: one list, expanded by the plug-in's table of host functions
// and by the host's declarations and bookkeeping. Each entry is the name
// without its leading "t" (the exported name is "t" + stem).
//
// TARVEX_HOST_FUNCTIONS(CALLED, RESOLVED): CALLED(stem) for a function the
// plug-in calls (the host must export it; its C type is t<stem>_fn in
// tarvex/host_callbacks.h), RESOLVED(stem) for one it only looks up.
#pragma once

// One entry a line, in the order they are resolved.
// clang-format off
#define TARVEX_HOST_FUNCTIONS(CALLED, RESOLVED) \
    CALLED(GetVersionOfKRV) \
    CALLED(GetKRVPath) \
    CALLED(GetPluginsPath) \
    CALLED(LogText) \
    RESOLVED(MessageBox) \
    RESOLVED(YesNoMessageBox) \
    RESOLVED(GetIntegerInput) \
    RESOLVED(GetFloatInput) \
    RESOLVED(GetTextInput) \
    RESOLVED(GetOpenFileName) \
    RESOLVED(GetSaveFileName) \
    RESOLVED(GetCurrentTimePoint) \
    RESOLVED(GetExpectedNrOfTimePoints) \
    CALLED(GetDimsOfFunctionalData) \
    CALLED(GetProjectName) \
    RESOLVED(GetWatchFolder) \
    CALLED(GetTargetFolder) \
    RESOLVED(GetFeedbackFolder) \
    RESOLVED(GetCurrentProtocolCondition) \
    RESOLVED(GetFullNrOfPredictors) \
    RESOLVED(GetCurrentNrOfPredictors) \
    RESOLVED(GetNrOfConfoundPredictors) \
    RESOLVED(GetValueOfDesignMatrix) \
    RESOLVED(GetNrOfContrasts) \
    RESOLVED(GetNrOfROIs) \
    RESOLVED(GetMeanOfROI) \
    RESOLVED(GetNrOfVoxelsOfROI) \
    RESOLVED(GetBetaOfROI) \
    RESOLVED(GetCoordsOfVoxelOfROI) \
    RESOLVED(GetValueOfVoxelAtTime) \
    CALLED(GetTimeCourseData) \
    RESOLVED(GetBetaOfVoxel) \
    RESOLVED(GetBetaMaps) \
    RESOLVED(GetMapValueOfVoxel) \
    RESOLVED(GetContrastMaps) \
    CALLED(RegisterMaps) \
    CALLED(SetPluginMapName) \
    CALLED(SetDisplayStatusOfMap) \
    CALLED(UpdateMapList) \
    RESOLVED(SetPluginMapsThreshold) \
    CALLED(ShowPluginMaps) \
    CALLED(GetPluginMaps) \
    RESOLVED(GetNumberOfClasses) \
    RESOLVED(GetCurrentClassifierOutput)
// clang-format on

// Expands to the same thing for both kinds.
#define TARVEX_HOST_FUNCTIONS_ALL(EACH) TARVEX_HOST_FUNCTIONS(EACH, EACH)
