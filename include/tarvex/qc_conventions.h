// What the plug-in and its host agree on besides the function calls: the
// maps, the mask, the scales of the scaled maps, and the motion log's name and
// keys. Hosts (and their reports) use these; the plug-in is built on them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvex {

constexpr int32_t pluginMapCount = 8;     // six motion t-maps, the constant's t / 100, tSNR / 30
constexpr int16_t maskThreshold = 100;    // voxels above it in the first volume take part
constexpr double constantTScale = 100.0;  // the constant's map holds t / 100
constexpr double tsnrScale = 30.0;        // the tSNR map holds tSNR / 30

// The host's motion log is <targetFolder><projectName><motionLogSuffix>: three
// header lines, then one line per volume from the second on, each value after
// its key in a window of motionValueWindow characters.
constexpr const char* motionLogSuffix = "_3DMC.log";
constexpr int32_t motionParameterCount = 6;
constexpr const char* motionKeys[motionParameterCount] = {"dx:", "dy:", "dz:", "rx:", "ry:", "rz:"};
constexpr std::size_t motionValueWindow = 8;

}  // namespace tarvex
