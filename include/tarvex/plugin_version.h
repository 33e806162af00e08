// The plug-in's version: what getPluginVersion answers, and the project's
// version in the build (CMakeLists.txt reads it from this line).
#pragma once

namespace tarvex {

inline constexpr char pluginVersion[] = "1.0";

}  // namespace tarvex
