// The plug-in's record of the host's exported functions.
#pragma once

#include "host_callbacks.h"
#include "host_lookup.h"

namespace tarvex {

// One entry per host function, in resolution order. An entry holds the address
// the host exports under the entry's name, or null. Typed entries are the
// functions the plug-in calls; the others are resolved and never called.
struct HostFunctionTable {
    tGetVersionOfKRV_fn tGetVersionOfKRV;                    //  0
    tGetKRVPath_fn tGetKRVPath;                              //  1
    tGetPluginsPath_fn tGetPluginsPath;                      //  2
    tLogText_fn tLogText;                                    //  3
    HostFunctionAddress tMessageBox;                         //  4
    HostFunctionAddress tYesNoMessageBox;                    //  5
    HostFunctionAddress tGetIntegerInput;                    //  6
    HostFunctionAddress tGetFloatInput;                      //  7
    HostFunctionAddress tGetTextInput;                       //  8
    HostFunctionAddress tGetOpenFileName;                    //  9
    HostFunctionAddress tGetSaveFileName;                    // 10
    HostFunctionAddress tGetCurrentTimePoint;                // 11
    HostFunctionAddress tGetExpectedNrOfTimePoints;          // 12
    tGetDimsOfFunctionalData_fn tGetDimsOfFunctionalData;    // 13
    tGetProjectName_fn tGetProjectName;                      // 14
    HostFunctionAddress tGetWatchFolder;                     // 15
    tGetTargetFolder_fn tGetTargetFolder;                    // 16
    HostFunctionAddress tGetFeedbackFolder;                  // 17
    HostFunctionAddress tGetCurrentProtocolCondition;        // 18
    HostFunctionAddress tGetFullNrOfPredictors;              // 19
    HostFunctionAddress tGetCurrentNrOfPredictors;           // 20
    HostFunctionAddress tGetNrOfConfoundPredictors;          // 21
    HostFunctionAddress tGetValueOfDesignMatrix;             // 22
    HostFunctionAddress tGetNrOfContrasts;                   // 23
    HostFunctionAddress tGetNrOfROIs;                        // 24
    HostFunctionAddress tGetMeanOfROI;                       // 25
    HostFunctionAddress tGetNrOfVoxelsOfROI;                 // 26
    HostFunctionAddress tGetBetaOfROI;                       // 27
    HostFunctionAddress tGetCoordsOfVoxelOfROI;              // 28
    HostFunctionAddress tGetValueOfVoxelAtTime;              // 29
    tGetTimeCourseData_fn tGetTimeCourseData;                // 30
    HostFunctionAddress tGetBetaOfVoxel;                     // 31
    HostFunctionAddress tGetBetaMaps;                        // 32
    HostFunctionAddress tGetMapValueOfVoxel;                 // 33
    HostFunctionAddress tGetContrastMaps;                    // 34
    tRegisterMaps_fn tRegisterMaps;                          // 35
    tSetPluginMapName_fn tSetPluginMapName;                  // 36
    tSetDisplayStatusOfMap_fn tSetDisplayStatusOfMap;        // 37
    tUpdateMapList_fn tUpdateMapList;                        // 38
    HostFunctionAddress tSetPluginMapsThreshold;             // 39
    tShowPluginMaps_fn tShowPluginMaps;                      // 40
    tGetPluginMaps_fn tGetPluginMaps;                        // 41
    HostFunctionAddress tGetNumberOfClasses;                 // 42
    HostFunctionAddress tGetCurrentClassifierOutput;         // 43
};

constexpr int hostFunctionCount = 44;

// The process's one table. All entries are null until initPlugin fills it;
// afterwards it is only read.
HostFunctionTable& hostFunctions();

// Fills the table by name from the running host, through `lookup` (the
// platform's own unless a test passes another). Returns false, leaving
// the table as it was, when the host executable is not in the process; false
// with slot 0 null and the other slots as they were when the host lacks
// tGetVersionOfKRV; false after filling every slot when the host lacks any
// other function the plug-in calls; true otherwise.
bool loadHostFunctions(const HostLookup& lookup = platformHostLookup());

// True for every host version from 3.0.0 on, compared part by part as signed numbers.
bool hostVersionAccepted(int32_t major, int32_t minor, int32_t subMinor);

// initPlugin's work: load the table, then ask the host's version and apply the gate.
bool bindToHost(const HostLookup& lookup = platformHostLookup());

}  // namespace tarvex
