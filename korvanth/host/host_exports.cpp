// The functions Korvanth exports by name for its plug-ins.
//
// Each one counts its calls in the host state, so that tests can see what a
// plug-in asked for. The executable is linked with its symbols exported; a
// build may leave one function out (KORVANTH_WITHOUT_<name>) to make a host
// that lacks it, and a test host may make faults (KORVANTH_TEST_FAULTS).
#include "korvanth/host/host_state.h"
#include "tarvex/export.h"
#include "tarvex/host_buffer_sizes.h"
#include "tarvex/host_callbacks.h"
#include "tarvex/host_function_list.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <type_traits>

#define KORVANTH_EXPORT extern "C" TARVEX_SYMBOL_EXPORT

// Each function the plug-in calls is first declared with the type the plug-in
// calls it through; a definition below of another signature is a second C
// function of that name and does not compile.
#define KORVANTH_DECLARE_CALLED(stem) KORVANTH_EXPORT std::remove_pointer_t<t##stem##_fn> t##stem;
#define KORVANTH_NOT_CALLED(stem)
TARVEX_HOST_FUNCTIONS(KORVANTH_DECLARE_CALLED, KORVANTH_NOT_CALLED)
#undef KORVANTH_DECLARE_CALLED
#undef KORVANTH_NOT_CALLED

using korvanth::host;
using korvanth::HostCall;

#if KORVANTH_TEST_FAULTS
#include "korvanth/host/host_faults.h"

korvanth::HostFaults& korvanth::hostFaults() {
    static HostFaults faults;
    return faults;
}
#define KORVANTH_FAULT(name) (korvanth::hostFaults().name)
#else
#define KORVANTH_FAULT(name) false
#endif

namespace {
// Copies `text` into a caller's buffer of `size` bytes, cut to fit.
void answerText(const std::string& text, char* buffer, std::size_t size) {
    if (buffer == nullptr) return;
    const std::size_t length = std::min(text.size(), size - 1);
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
}

int16_t voxelAt(int32_t x, int32_t y, int32_t z, int32_t timePoint) {
    const auto& s = host();
    if (x < 0 || y < 0 || z < 0 || x >= s.dims[0] || y >= s.dims[1] || z >= s.dims[2]) return 0;
    if (timePoint < 0 || timePoint >= static_cast<int32_t>(s.volumes.size())) return 0;
    return s.volumes[timePoint][static_cast<std::size_t>(x + s.dims[0] * (y + s.dims[1] * z))];
}
}  // namespace

#ifndef KORVANTH_WITHOUT_tGetVersionOfKRV
KORVANTH_EXPORT void tGetVersionOfKRV(int32_t* major, int32_t* minor, int32_t* subMinor) {
    host().countCall(HostCall::GetVersionOfKRV);
    *major = host().version.major;
    *minor = host().version.minor;
    *subMinor = host().version.subMinor;
}
#endif

KORVANTH_EXPORT void tGetKRVPath(char* path) {
    host().countCall(HostCall::GetKRVPath);
    answerText(host().programPath, path, tarvex::hostPathBufferSize);
}

KORVANTH_EXPORT void tGetPluginsPath(char* path) {
    host().countCall(HostCall::GetPluginsPath);
    answerText(host().pluginsPath, path, tarvex::hostPathBufferSize);
}

#ifndef KORVANTH_WITHOUT_tLogText
KORVANTH_EXPORT void tLogText(const char* line) {
    auto& s = host();
    s.countCall(HostCall::LogText);
    s.log.emplace_back(line != nullptr ? line : "");
    if (s.logListener) s.logListener(s.log.back());
}
#endif

KORVANTH_EXPORT void tMessageBox(const char* text) {
    host().countCall(HostCall::MessageBox);
    std::cout << "[message] " << (text != nullptr ? text : "") << '\n';
}

// A replay has nobody to ask: every question gets its default answer.
KORVANTH_EXPORT int32_t tYesNoMessageBox(const char*) {
    host().countCall(HostCall::YesNoMessageBox);
    return 0;
}

KORVANTH_EXPORT int32_t tGetIntegerInput(const char*, int32_t defaultValue, int32_t, int32_t) {
    host().countCall(HostCall::GetIntegerInput);
    return defaultValue;
}

KORVANTH_EXPORT float tGetFloatInput(const char*, float defaultValue, float, float) {
    host().countCall(HostCall::GetFloatInput);
    return defaultValue;
}

KORVANTH_EXPORT void tGetTextInput(const char*, const char* defaultText, char* answer) {
    host().countCall(HostCall::GetTextInput);
    answerText(defaultText != nullptr ? defaultText : "", answer, tarvex::hostPathBufferSize);
}

KORVANTH_EXPORT bool tGetOpenFileName(const char*, const char*, char* fileName) {
    host().countCall(HostCall::GetOpenFileName);
    answerText("", fileName, tarvex::hostPathBufferSize);
    return false;
}

KORVANTH_EXPORT bool tGetSaveFileName(const char*, const char*, char* fileName) {
    host().countCall(HostCall::GetSaveFileName);
    answerText("", fileName, tarvex::hostPathBufferSize);
    return false;
}

KORVANTH_EXPORT int32_t tGetCurrentTimePoint() {
    host().countCall(HostCall::GetCurrentTimePoint);
    return static_cast<int32_t>(host().volumes.size());
}

KORVANTH_EXPORT int32_t tGetExpectedNrOfTimePoints() {
    host().countCall(HostCall::GetExpectedNrOfTimePoints);
    return host().expectedTimePoints;
}

KORVANTH_EXPORT void tGetDimsOfFunctionalData(int32_t* dimX, int32_t* dimY, int32_t* dimZ) {
    host().countCall(HostCall::GetDimsOfFunctionalData);
    *dimX = host().dims[0];
    *dimY = host().dims[1];
    *dimZ = host().dims[2];
}

KORVANTH_EXPORT void tGetProjectName(char* name) {
    host().countCall(HostCall::GetProjectName);
    answerText(host().projectName, name, tarvex::hostTextBufferSize);
}

KORVANTH_EXPORT void tGetWatchFolder(char* folder) {
    host().countCall(HostCall::GetWatchFolder);
    answerText(host().watchFolder, folder, tarvex::hostTextBufferSize);
}

KORVANTH_EXPORT void tGetTargetFolder(char* folder) {
    host().countCall(HostCall::GetTargetFolder);
    answerText(host().targetFolder, folder, tarvex::hostTextBufferSize);
}

KORVANTH_EXPORT void tGetFeedbackFolder(char* folder) {
    host().countCall(HostCall::GetFeedbackFolder);
    answerText(host().feedbackFolder, folder, tarvex::hostTextBufferSize);
}

// The replay runs no protocol, design matrix, contrasts, ROIs or classifier:
// those queries answer "none".
KORVANTH_EXPORT int32_t tGetCurrentProtocolCondition() {
    host().countCall(HostCall::GetCurrentProtocolCondition);
    return 0;
}

KORVANTH_EXPORT int32_t tGetFullNrOfPredictors() {
    host().countCall(HostCall::GetFullNrOfPredictors);
    return 0;
}

KORVANTH_EXPORT int32_t tGetCurrentNrOfPredictors() {
    host().countCall(HostCall::GetCurrentNrOfPredictors);
    return 0;
}

KORVANTH_EXPORT int32_t tGetNrOfConfoundPredictors() {
    host().countCall(HostCall::GetNrOfConfoundPredictors);
    return 0;
}

KORVANTH_EXPORT float tGetValueOfDesignMatrix(int32_t, int32_t) {
    host().countCall(HostCall::GetValueOfDesignMatrix);
    return 0.0f;
}

KORVANTH_EXPORT int32_t tGetNrOfContrasts() {
    host().countCall(HostCall::GetNrOfContrasts);
    return 0;
}

KORVANTH_EXPORT int32_t tGetNrOfROIs() {
    host().countCall(HostCall::GetNrOfROIs);
    return 0;
}

KORVANTH_EXPORT float tGetMeanOfROI(int32_t) {
    host().countCall(HostCall::GetMeanOfROI);
    return 0.0f;
}

KORVANTH_EXPORT int32_t tGetNrOfVoxelsOfROI(int32_t) {
    host().countCall(HostCall::GetNrOfVoxelsOfROI);
    return 0;
}

KORVANTH_EXPORT float tGetBetaOfROI(int32_t, int32_t) {
    host().countCall(HostCall::GetBetaOfROI);
    return 0.0f;
}

KORVANTH_EXPORT bool tGetCoordsOfVoxelOfROI(int32_t, int32_t, int32_t* x, int32_t* y, int32_t* z) {
    host().countCall(HostCall::GetCoordsOfVoxelOfROI);
    if (x != nullptr) *x = 0;
    if (y != nullptr) *y = 0;
    if (z != nullptr) *z = 0;
    return false;
}

KORVANTH_EXPORT int16_t tGetValueOfVoxelAtTime(int32_t x, int32_t y, int32_t z, int32_t timePoint) {
    host().countCall(HostCall::GetValueOfVoxelAtTime);
    return voxelAt(x, y, z, timePoint);
}

KORVANTH_EXPORT int16_t** tGetTimeCourseData() {
    auto& s = host();
    s.countCall(HostCall::GetTimeCourseData);
    if (KORVANTH_FAULT(answerNullTimeCourse) || s.timeCourse.empty()) return nullptr;
    return s.timeCourse.data();
}

KORVANTH_EXPORT float tGetBetaOfVoxel(int32_t, int32_t, int32_t, int32_t) {
    host().countCall(HostCall::GetBetaOfVoxel);
    return 0.0f;
}

#ifndef KORVANTH_WITHOUT_tGetBetaMaps
KORVANTH_EXPORT float* tGetBetaMaps() {
    host().countCall(HostCall::GetBetaMaps);
    return nullptr;
}
#endif

KORVANTH_EXPORT float tGetMapValueOfVoxel(int32_t, int32_t, int32_t, int32_t) {
    host().countCall(HostCall::GetMapValueOfVoxel);
    return 0.0f;
}

KORVANTH_EXPORT float* tGetContrastMaps() {
    host().countCall(HostCall::GetContrastMaps);
    return nullptr;
}

KORVANTH_EXPORT void tRegisterMaps(int32_t count) {
    auto& s = host();
    s.countCall(HostCall::RegisterMaps);
    ++s.registerCalls;
    s.registeredMapCount = std::max(count, 0);
    s.mapNames.assign(static_cast<std::size_t>(s.registeredMapCount), std::string());
    s.mapDisplayStatus.assign(static_cast<std::size_t>(s.registeredMapCount), -1);
    s.pluginMaps.resize(static_cast<std::size_t>(s.registeredMapCount) * static_cast<std::size_t>(s.voxelCount()),
                        0.0f);
}

KORVANTH_EXPORT void tSetPluginMapName(int32_t index, const char* name) {
    auto& s = host();
    s.countCall(HostCall::SetPluginMapName);
    if (index >= 0 && index < s.registeredMapCount) s.mapNames[index] = name != nullptr ? name : "";
}

KORVANTH_EXPORT void tSetDisplayStatusOfMap(int32_t index, int32_t status) {
    auto& s = host();
    s.countCall(HostCall::SetDisplayStatusOfMap);
    if (index >= 0 && index < s.registeredMapCount) s.mapDisplayStatus[index] = status;
}

KORVANTH_EXPORT void tUpdateMapList() {
    host().countCall(HostCall::UpdateMapList);
    ++host().mapListUpdates;
}

KORVANTH_EXPORT void tSetPluginMapsThreshold(float threshold) {
    host().countCall(HostCall::SetPluginMapsThreshold);
    host().pluginMapsThreshold = threshold;
}

KORVANTH_EXPORT void tShowPluginMaps(bool show) {
    host().countCall(HostCall::ShowPluginMaps);
    host().pluginMapsShown = show;
}

KORVANTH_EXPORT float* tGetPluginMaps() {
    auto& s = host();
    s.countCall(HostCall::GetPluginMaps);
    if (KORVANTH_FAULT(answerNullPluginMaps) || s.pluginMaps.empty()) return nullptr;
    return s.pluginMaps.data();
}

KORVANTH_EXPORT int32_t tGetNumberOfClasses() {
    host().countCall(HostCall::GetNumberOfClasses);
    return 0;
}

KORVANTH_EXPORT float* tGetCurrentClassifierOutput() {
    host().countCall(HostCall::GetCurrentClassifierOutput);
    return nullptr;
}
